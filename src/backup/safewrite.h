#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

/// The one way Marlox writes a file that matters (to a reader, a mirror, a user's folder):
/// into a temporary file in the destination's own folder, read back to its size, flushed to
/// the device with its folder, and only then renamed over the destination. An interrupted or
/// failed write never leaves a truncated file under the final name, and the old file stays
/// as it was. Never throws; any thread.

struct SafeWriteOptions
{
    /// Keep an existing destination and fail instead of replacing it.
    bool keepExisting = false;
    /// Give the new file this modification time (seconds since the epoch and nanoseconds);
    /// -1 leaves "now". safeCopyFile() sets it from the source when keepSourceTime is set.
    int64_t modificationTime = -1;
    long modificationNanoseconds = 0;
    bool keepSourceTime = false;
    /// The size the finished file must have; -1 checks only that every byte read was written.
    int64_t expectedSize = -1;
    /// Polled between chunks; when it turns true the write stops and the temporary file goes.
    const std::atomic<bool> *cancel = nullptr;
    /// Told the bytes of every chunk written, for progress bars.
    std::function<void(uint64_t)> progress;
    /// Stop after the size check: the temporary file stays (its path in the result) and the
    /// caller flushes it, with others, by syncFileSystem() and then calls commitSafeWrite()
    /// or discardSafeWrite(). One flush for many small files instead of one each.
    bool deferCommit = false;
};

struct SafeWriteResult
{
    bool ok = false;
    bool cancelled = false;
    uint64_t bytes = 0;
    std::string error; // what went wrong, for a report line; empty on success
    std::filesystem::path temporary; // with deferCommit: the written, not yet flushed file
};

/// Reads up to `capacity` bytes into `buffer`: the count, 0 at the end, -1 on a read error.
using ChunkReader = std::function<int64_t(char *buffer, uint64_t capacity)>;

/// Writes what `read` delivers to `destination` as described above. The destination must not
/// be a symbolic link or anything but a regular file; its folder must exist.
SafeWriteResult safeWriteFile(const std::filesystem::path &destination, const ChunkReader &read,
                              const SafeWriteOptions &options = {});

/// Copies a regular file through safeWriteFile; the expected size is the source's unless the
/// options name one.
SafeWriteResult safeCopyFile(const std::filesystem::path &source,
                             const std::filesystem::path &destination,
                             SafeWriteOptions options = {});

/// fsync() of a folder, so that a rename or an unlink in it reaches the device.
bool syncFolder(const std::filesystem::path &folder);

/// syncfs() of the file system that holds `path`: every written byte on it reaches the device.
bool syncFileSystem(const std::filesystem::path &path);

/// Second half of a deferred write, once syncFileSystem() flushed the temporary file: renames
/// it over `destination` (still refusing a symbolic link there). The caller syncs the folder.
/// On failure the temporary file is removed.
SafeWriteResult commitSafeWrite(const std::filesystem::path &temporary,
                                const std::filesystem::path &destination);

/// Removes the temporary file of a deferred write that will not be committed.
void discardSafeWrite(const std::filesystem::path &temporary);
