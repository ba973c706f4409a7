#pragma once

#include "core/debuglog.h"

#include <zip.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

/// Free functions on files, directory trees and ZIP archives shared by backup, mirror,
/// archive reading, export and sending files. They keep no state, report problems to the
/// debug log and return a plain result; none throws unless stated. currentTimeString()
/// comes from core/debuglog.h.

/// Result of getDirectorySize(). errorCount counts unreadable files plus abandoned walks.
struct dirSizeInfo
{
    uint64_t totalBytes;
    uint32_t fileCount;
    uint32_t errorCount;
};

/// Modification time (seconds since the Unix epoch) and size in bytes; both -1 when the
/// file cannot be examined.
struct FileSizeWriteTime
{
    int32_t writeTime;
    int64_t size;
};

/// Copies an absolute, existing source to a different path; true only when the copy was
/// made and both files have the same size. A copy skipped by `options` returns false.
bool copyFileSafe(const std::filesystem::path &source, const std::filesystem::path &destination,
                  std::filesystem::copy_options options);

/// Copies each (source, destination) pair so that the old destinations survive any failure:
/// every source is first copied to a temporary file in the destination's folder, checked
/// for size, given the source's modification time and flushed to disk; only when all copies
/// are complete are they renamed over their destinations (and the folders flushed). On a
/// failure nothing is replaced and no temporary file is left. Never throws.
bool copyFilesReplacing(
    const std::vector<std::pair<std::filesystem::path, std::filesystem::path>> &files);

/// The "-wal" companion of a SQLite database: always when `always`, otherwise only if it
/// exists and is not empty (else an empty path). Throws on errors other than "not found".
std::filesystem::path getWalFile(const std::filesystem::path &db, bool always);

/// One stat() of `path`.
FileSizeWriteTime getFileSizeWriteTime(const std::filesystem::path &path);

/// "512 B", "1.500KB", "976.5KB", "5.000GB": five characters of the value in units of 1024.
std::string humanReadableSize(int64_t bytes);

int64_t currentEpochSeconds();

/// Sums the sizes of the files below each root. Directories named in `skipNames` are left
/// out only directly inside a root. A filesystem error ends the walk of that root.
dirSizeInfo getDirectorySize(const std::vector<std::filesystem::path> &roots,
                             const std::vector<std::filesystem::path> &skipNames);

/// Adds a file or a directory entry to a writable archive (the caller owns it). The file is
/// read only when the caller closes the archive. An existing entry name makes it fail.
bool zipAddPath(zip_t *archive, const std::filesystem::path &source,
                const std::filesystem::path &entry, bool compress);

/// Extracts one entry to `output` (or to `output` joined with the entry's stored name),
/// through safeWriteFile(): a temporary file beside it, checked against the entry's size and
/// flushed, is renamed into place only when the whole entry was written.
/// Returns 1 on success, -2 when the output folder cannot be created, -1 on other failures.
int zipExtractIndex(zip_t *archive, zip_uint64_t index, const std::filesystem::path &output,
                    bool appendEntryName);
