#pragma once

#include "database/profileinfo.h"

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

/// Finding a reader's databases below a mount point. Plain functions without state; every
/// database query opens its own read-only connection and removes it before returning.

/// The explorer database of a mount (explorer-3 before explorer-2); version 0 when none.
ExplorerDbInfo findExplorerDb(const std::filesystem::path &mountPath);

/// Scans the profiles below a mount into `profiles`, which stays sorted (mirror profiles
/// first, then most recently written first). `mode`: 0 main memory, 2 card, -1 a mirror or
/// virtual reader's folder. Returns how many profiles were added or refreshed.
int scanProfiles(const std::filesystem::path &mountPath, int mode,
                 std::vector<ProfileInfo> &profiles);

/// The (id, name) rows of the explorer database's profiles table, in query order; empty on
/// any failure (logged).
std::vector<std::pair<int, std::string>> queryProfileIds(const std::filesystem::path &explorerDb);
