#include "viewer/rowresize.h"

#include <algorithm>

std::pair<int, int> smartResizeRange(int top, int bottom, int rowCount)
{
    const int visible = bottom - top;
    const int start = visible == 0 ? 0 : std::max(top, 0);
    const int span = visible > 14 ? 2 * visible : 25;
    const int end = (bottom >= 0 && bottom + span < rowCount) ? bottom + span : rowCount;
    return {std::min(start, rowCount), std::max(std::min(end, rowCount), 0)};
}
