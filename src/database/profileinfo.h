#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

/// One reading profile of a reader: the reader keeps one books.db per profile, the root
/// profile in system/config, named ones in system/profiles/NAME/config.
struct ProfileInfo
{
    std::string name; // "root" for the device's root profile, else the profile folder's name
    std::filesystem::path directory;
    std::filesystem::path dbPath;         // its books.db
    std::filesystem::path dbPathRelative; // dbPath relative to the mount point
    bool fromMirror = false;              // found in a mirror or virtual reader's folder
    bool onCard = false;                  // found on the SD card
    int64_t writeTime = 0;                // of books.db, seconds since the epoch
    int64_t size = 0;                     // of books.db, bytes
};

/// Where the explorer database of a mount is, and which firmware generation wrote it.
struct ExplorerDbInfo
{
    std::filesystem::path path; // empty when none was found
    int16_t version = 0;        // 3 or 2; 0 when none was found; -1 for an unsupported vendor
};
