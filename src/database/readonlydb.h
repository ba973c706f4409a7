#pragma once

#include <QString>

#include <filesystem>
#include <functional>

class QSqlDatabase;
class QSqlError;

/// How one read of a database went.
enum class ReadOutcome { Read, Failed, NeedsCopy };

/// True when a statement failed only because SQLite could not create the write-ahead index
/// ("-shm") beside a database it may not write to: a private copy of the files reads in full.
bool needsPrivateCopy(const QSqlError &error);

/// Opens `dbPath` read-only on a connection of its own named `connection`, runs `read` and
/// removes the connection again (an open failure warns "ERROR: " with the driver's text).
/// When `read` answers NeedsCopy, the database, its "-wal" and any "-journal" of an
/// interrupted write are copied into a temporary folder and read there once more (the copy
/// rolls the journal back), with `mayRetry` false. True when `read` answered Read.
bool readDatabaseReadOnly(
    const std::filesystem::path &dbPath, const QString &connection,
    const std::function<ReadOutcome(const QSqlDatabase &db, bool mayRetry)> &read);
