#include "database/readonlydb.h"

#include "core/textconv.h"

#include <QDebug>
#include <QSqlDatabase>
#include <QSqlError>
#include <QTemporaryDir>

#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr int sqliteReadonly = 8;  // SQLITE_READONLY
constexpr int sqliteCantOpen = 14; // SQLITE_CANTOPEN

ReadOutcome readOnce(const fs::path &dbPath, const QString &connection, bool mayRetry,
                     const std::function<ReadOutcome(const QSqlDatabase &, bool)> &read,
                     bool readOnly = true)
{
    ReadOutcome outcome = ReadOutcome::Failed;
    {
        // Every QSqlDatabase and QSqlQuery must be gone before removeDatabase().
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(toQString(dbPath));
        // Read-only also keeps SQLite from creating a missing file: the open fails instead.
        // Qt's busy timeout (5 s) applies: a database another program holds under an
        // exclusive lock fails with "database is locked" instead of hanging.
        if (readOnly)
            db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (!db.open())
            qWarning().noquote() << QStringLiteral("ERROR: ") + db.lastError().text();
        else
            outcome = read(db, mayRetry);
        db.close();
    }
    QSqlDatabase::removeDatabase(connection);
    return outcome;
}

// SQLite reads a database in WAL mode only through its "-shm" index, which it creates beside
// the database when missing. Where that is impossible (a read-only mount or folder holding
// "-wal" without "-shm", or a WAL database without "-wal") a read-only open fails with
// SQLITE_CANTOPEN or SQLITE_READONLY; "immutable=1" would open it but silently skip the
// "-wal" content. A copy of the database and its log in a folder of our own reads in full.
// An interrupted write leaves a hot "-journal" that only a writer may roll back: the copy
// takes the journal along and is opened for writing, so SQLite rolls it back in our folder
// and the reader's own files stay as they are.
bool readCopy(const fs::path &dbPath, const QString &connection,
              const std::function<ReadOutcome(const QSqlDatabase &, bool)> &read)
{
    const QTemporaryDir folder;
    if (!folder.isValid()) {
        qWarning().noquote() << QStringLiteral("Query exec ERROR: cannot create a folder for "
                                               "a copy of the database: ") +
                                    folder.errorString();
        return false;
    }
    const fs::path copy = toPath(folder.path()) / dbPath.filename();
    fs::path wal = dbPath;
    wal += "-wal";
    fs::path walCopy = copy;
    walCopy += "-wal";
    fs::path journal = dbPath;
    journal += "-journal";
    fs::path journalCopy = copy;
    journalCopy += "-journal";
    std::error_code error;
    fs::copy_file(dbPath, copy, error);
    if (!error && fs::exists(wal, error))
        fs::copy_file(wal, walCopy, error);
    bool withJournal = false;
    if (!error && fs::exists(journal, error)) {
        fs::copy_file(journal, journalCopy, error);
        withJournal = !error;
    }
    if (error) {
        qWarning().noquote() << QStringLiteral("Query exec ERROR: cannot copy the database: ") +
                                    QString::fromStdString(error.message());
        return false;
    }
    return readOnce(copy, connection, false, read, !withJournal) == ReadOutcome::Read;
}

} // namespace

bool needsPrivateCopy(const QSqlError &error)
{
    const int code = error.nativeErrorCode().toInt() & 0xff;
    return code == sqliteCantOpen || code == sqliteReadonly;
}

bool readDatabaseReadOnly(const fs::path &dbPath, const QString &connection,
                          const std::function<ReadOutcome(const QSqlDatabase &, bool)> &read)
{
    switch (readOnce(dbPath, connection, true, read)) {
    case ReadOutcome::Read:
        return true;
    case ReadOutcome::NeedsCopy:
        qDebug() << "Cannot read the database where it is (write-ahead log without index in a "
                    "read-only folder, or an interrupted write's journal?), reading a copy:"
                 << toQString(dbPath);
        return readCopy(dbPath, connection, read);
    case ReadOutcome::Failed:
        break;
    }
    return false;
}
