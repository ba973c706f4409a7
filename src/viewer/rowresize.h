#pragma once

#include <utility>

/// Rows to size to their contents around what the user sees: sizing every row of a large
/// table is slow. `top` and `bottom` are the rows at the viewport's edges (-1 past the last
/// row). Returns [start, end) within [0, rowCount).
std::pair<int, int> smartResizeRange(int top, int bottom, int rowCount);
