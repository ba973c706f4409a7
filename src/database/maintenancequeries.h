#pragma once

#include <QString>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

/// The maintenance queries of a profile's books.db: finding books the reader registered more
/// than once, moving their annotations to the newest item (the only write Marlox makes to a
/// reader's database), and SQLite's integrity check. Plain functions; each opens its own
/// named connection and removes it before returning, so they may run on any one thread.

/// One book item of a set with the same title and authors.
struct DuplicateRow
{
    QString title;
    QString authors;
    int32_t annCount = 0; // items whose ParentID is this book item
    int32_t oid = 0;
    int32_t maxOid = 0;   // the newest item of the set, which keeps the annotations
    bool selected = false;
};

struct DuplicateCheckResult
{
    std::vector<DuplicateRow> rows; // newest item of each set first
    QString error;                  // empty when the database was read
};

/// Sets of book items with the same title and authors. Books with neither title nor authors
/// are not a set: their items are unrelated books.
DuplicateCheckResult checkMergeFix(const std::filesystem::path &dbPath);

enum MergeFixStatus : int32_t {
    mergefix_ok = 0,
    mergefix_notOpened = -1,   // missing file, or the copy before the write failed
    mergefix_noWriteLock = -2, // another program holds the database
    mergefix_notCommitted = -3 // the transaction was lost or its COMMIT failed: nothing changed
};

struct MergeFixResult
{
    int32_t rowsChanged = 0; // rows that the committed transaction moved
    QString log;
    int32_t status = mergefix_ok;
    bool error = false;                  // any update failed, or status is not 0
    std::filesystem::path copyFolder;    // where the database was copied before the write
};

struct MergeFixOptions
{
    /// Folder (created when missing) that receives a copy of the database, its non-empty
    /// "-wal" and any "-journal" before the database is opened for writing. Required.
    std::filesystem::path copyFolder;
    /// How long to wait for another program's lock before giving up.
    int busyTimeoutMs = 1000;
};

/// Moves the annotations of every selected row to its set's newest item, all in one exclusive
/// transaction. A row moves only while its book and the kept book still share title and
/// authors. Each update moves all annotations of one book or none; `rowsChanged` counts only
/// what was committed.
MergeFixResult performMergeFix(const std::filesystem::path &dbPath,
                               const std::vector<DuplicateRow> &rows,
                               const MergeFixOptions &options);

/// What copyDatabaseFiles made.
struct DatabaseCopyResult
{
    bool ok = false;
    std::vector<std::filesystem::path> copies;
    QString error;
};

/// Copies a database with its non-empty "-wal" and any "-journal" into `folder` (created when
/// missing), each through a temporary file and checked against the source's size.
DatabaseCopyResult copyDatabaseFiles(const std::filesystem::path &dbPath,
                                     const std::filesystem::path &folder);

/// True when a rollback journal beside `dbPath` holds an interrupted write: SQLite rolls it
/// back at the next write, and every read-only open fails until then.
bool hasHotJournal(const std::filesystem::path &dbPath);

struct IntegrityResult
{
    int32_t errors = 0;
    QString report;
};

/// SQLite's integrity check of one database, read-only; a database that cannot be opened or
/// checked counts one error. Never writes to the file or its companions.
IntegrityResult checkDB(const std::filesystem::path &dbPath);
