#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

class Reader;

/// The manual backup without widgets: what each part of a reader consists of, the size
/// survey, and the run that writes one ZIP archive. Survey and run are plain functions meant
/// for a worker thread: they poll `cancel`, report through callbacks on that thread, never
/// throw and never write to the reader.

/// The parts of a backup, in the order they go into the archive. Never reorder.
enum class BackupCategory : int { databases = 0, dicts, apps, fonts, main, card };
constexpr int backupCategoryCount = 6;

/// One place a part is read from: a database file, or a folder whose contents are walked.
struct BackupSource
{
    std::filesystem::path source;    // absolute path on the mounted reader
    std::filesystem::path entryPath; // entry name of the file, or the entry folder of the walk
    bool compress = false;           // deflate at level 1, else stored
};

/// The sources of one part of `reader`. Databases: the explorer database and every profile
/// database found on the device, each followed by its non-empty "-wal" file; card databases
/// go below "databases_card/". Folder parts list only folders that exist; the card's
/// dictionaries go below "dicts_card/". Never throws.
std::vector<BackupSource> backupSources(const Reader &reader, BackupCategory category);

/// Folder names left out directly inside every walked folder: "system" and "applications"
/// on a PocketBook reader (the other parts cover them), nothing for other vendors.
std::vector<std::string> backupSkipNames(int vendor);

/// Files and bytes of one part; `problems` counts what could not be examined.
struct BackupSize
{
    uint64_t bytes = 0;
    uint32_t files = 0;
    uint32_t problems = 0;
    bool cancelled = false;
};

/// Adds up what backing up `sources` would archive: the same walk as the run, one stat per
/// file, no file opened.
BackupSize surveyBackupSize(const std::vector<BackupSource> &sources,
                            const std::vector<std::string> &skipNames,
                            const std::atomic<bool> &cancel);

/// Label text for the file name: trimmed, every character that is not a letter, digit or
/// "_" replaced by "_".
std::string sanitisedBackupLabel(const std::string &label);

/// "backup_manual-SERIAL---2026Dec06_1430[-label].zip"; month names are always the C
/// locale's, so that the name reads the same on every desktop.
std::string backupArchiveName(const std::string &serial, std::time_t when,
                              const std::string &sanitisedLabel);

/// The archive comment: ten fields "Marlox;version;vendor;0;0;0;0;serial;name;label", at most
/// 249 bytes. ";" and control characters inside serial, name and label become "_"; a long
/// line is shortened from its label, then its name, at a character boundary, so it always
/// keeps ten fields.
std::string backupComment(const std::string &version, int vendor, const std::string &serial,
                          const std::string &name, const std::string &label);

struct BackupRequest
{
    std::vector<BackupSource> sources; // in archive order
    std::vector<std::string> skipNames;
    std::filesystem::path archive; // must not exist yet
    std::string comment;
    /// Called on the worker thread with 0.0 to 1.0 while the archive is written.
    std::function<void(double)> progress;
};

struct BackupResult
{
    enum Outcome { finished, cancelled, openFailed, writeFailed };
    Outcome outcome = writeFailed;
    std::vector<std::string> copied;  // source paths archived, folders included
    std::vector<std::string> failed;  // "path: reason" of everything that could not be archived
    std::vector<std::string> skipped; // links and special files, which are never archived
    std::string error;                // libzip's text for openFailed and writeFailed
    bool archiveExists = false;       // what is on disk after the run
};

/// Writes the archive: walks every source, checks each file as it is listed (unreadable ones
/// become failures, the rest is archived), then lets libzip stream the files into a
/// temporary file that is renamed into place, flushes it, and reads the result back (entry
/// count, comment, the database entries' CRC). Cancelled or failed runs leave no file.
BackupResult runBackup(const BackupRequest &request, const std::atomic<bool> &cancel);

/// Reads a written archive back with libzip's consistency checks: the entry count, the
/// comment, and every listed entry to its end (which checks its CRC). One line per mismatch.
std::vector<std::string> verifyBackupArchive(const std::filesystem::path &archive,
                                             int64_t expectedEntries,
                                             const std::string &expectedComment,
                                             const std::vector<uint64_t> &checkedEntries);

/// Whether a destination folder lies on one of the reader's volumes (main memory or card),
/// compared after resolving links; such a backup would fill the reader and nest old archives.
bool backupDestinationOnReader(const std::filesystem::path &destination, const Reader &reader);

/// Whether a backup of `bytes` needs the FAT warning: the folder's file system (statfs magic)
/// cannot hold a file of 4 GiB or more.
bool backupExceedsFatLimit(uint64_t bytes, long fileSystemType);
/// statfs() type of the file system holding `folder`; 0 when unknown.
long fileSystemTypeOf(const std::filesystem::path &folder);
