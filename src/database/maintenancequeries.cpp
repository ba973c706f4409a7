#include "database/maintenancequeries.h"

#include "backup/safewrite.h"
#include "core/textconv.h"
#include "database/readonlydb.h"

#include <QDebug>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QVariant>

#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr int sqliteBusy = 5;   // SQLITE_BUSY
constexpr int sqliteLocked = 6; // SQLITE_LOCKED

// The blank runs are kept as the query has always been written.
const QString duplicateQuery = QStringLiteral(
    "SELECT Title, Authors, ann_count, OID, MAXOID FROM(                 SELECT Title, "
    "Authors,                 COUNT(*) OVER (PARTITION BY Title, Authors) AS TITLE_COUNTS,      "
    "           OID,                 MAX(OID) OVER (PARTITION BY Title, Authors) AS MAXOID,    "
    "             ann_count                 FROM Books                 LEFT JOIN (SELECT "
    "ParentID, COUNT(*) AS ann_count FROM Items WHERE  ParentID IS NOT NULL GROUP BY ParentID) "
    "AS ANNCOUNT ON ANNCOUNT.ParentID  = Books.OID                 ORDER BY Title, Authors, OID "
    "DESC                 )             WHERE TITLE_COUNTS > 1             ORDER BY Title, "
    "Authors, OID DESC");

fs::path withSuffix(const fs::path &path, const char *suffix)
{
    fs::path result = path;
    result += suffix;
    return result;
}

// -1 when the path is not a regular file (symbolic links included) or cannot be examined.
int64_t regularFileSize(const fs::path &path)
{
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(path, ec);
    if (ec || !fs::is_regular_file(status))
        return -1;
    const uintmax_t size = fs::file_size(path, ec);
    return ec ? -1 : static_cast<int64_t>(size);
}

int nativeCode(const QSqlError &error)
{
    return error.nativeErrorCode().toInt() & 0xff;
}

bool isBlank(const QString &text)
{
    return text.trimmed().isEmpty();
}

// A file URI with mode=rw: SQLite opens the file for writing but never creates it, so a
// stale path on a reader cannot grow an empty books.db.
QString readWriteUri(const fs::path &dbPath)
{
    QUrl url = QUrl::fromLocalFile(toQString(dbPath));
    url.setQuery(QStringLiteral("mode=rw"));
    return url.toString(QUrl::FullyEncoded);
}

class MergeRun
{
public:
    MergeRun(QSqlDatabase &db, MergeFixResult &result)
        : m_db(db)
        , m_result(result)
    {
    }

    void run(const fs::path &dbPath, const std::vector<DuplicateRow> &rows, int busyTimeoutMs);

private:
    void say(const QString &line)
    {
        m_result.log += line;
        qDebug().noquote() << line.trimmed();
    }
    bool exec(const QString &sql, QSqlError *error = nullptr)
    {
        QSqlQuery query(m_db);
        const bool ok = query.exec(sql);
        if (!ok && error)
            *error = query.lastError();
        return ok;
    }
    // -1 when the check itself failed.
    int stillSameBook(const DuplicateRow &row);
    // False when the transaction is gone (a trigger's RAISE(ROLLBACK), an I/O error).
    bool moveRow(QSqlQuery &update, const DuplicateRow &row);

    QSqlDatabase &m_db;
    MergeFixResult &m_result;
    int32_t m_pending = 0;
};

void MergeRun::run(const fs::path &dbPath, const std::vector<DuplicateRow> &rows,
                   int busyTimeoutMs)
{
    m_db.setDatabaseName(readWriteUri(dbPath));
    m_db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1")
                               .arg(busyTimeoutMs));
    if (!m_db.open()) {
        say(QStringLiteral("! Inspection failed (DB not open)\n"));
        say(m_db.lastError().text() + QLatin1Char('\n'));
        m_result.status = mergefix_notOpened;
        return;
    }
    QSqlError beginError;
    if (!exec(QStringLiteral("BEGIN EXCLUSIVE"), &beginError)) {
        const int code = nativeCode(beginError);
        if (code == sqliteBusy || code == sqliteLocked) {
            say(QStringLiteral("! Could not get write lock. Please close DB in other program.\n"));
            m_result.status = mergefix_noWriteLock;
        } else {
            say(QStringLiteral("! Inspection failed (DB not open)\n"));
            say(beginError.text() + QLatin1Char('\n'));
            m_result.status = mergefix_notOpened;
        }
        return;
    }

    QSqlQuery update(m_db);
    update.prepare(QStringLiteral("UPDATE Items SET ParentID = :maxoid WHERE ParentID = :oid"));
    bool transactionLost = false;
    for (const DuplicateRow &row : rows) {
        if (row.oid == row.maxOid) {
            say(QStringLiteral("Processing book: %1 (%2)\n").arg(row.title).arg(row.oid));
        } else if (row.oid > row.maxOid) {
            qDebug() << "Unknown issue";
        } else if (!row.selected) {
            say(QStringLiteral("- Skipping unselected child entry (maxoid/oid) %1 / %2.\n")
                    .arg(row.maxOid)
                    .arg(row.oid));
        } else if (!moveRow(update, row)) {
            transactionLost = true;
            break;
        }
    }
    update.finish();

    if (transactionLost) {
        say(QStringLiteral("! The database rolled the whole write back: no rows were changed.\n"));
        m_result.status = mergefix_notCommitted;
        return;
    }
    QSqlError commitError;
    if (!exec(QStringLiteral("COMMIT"), &commitError)) {
        say(QStringLiteral("! COMMIT failed, no rows were changed: %1\n").arg(commitError.text()));
        exec(QStringLiteral("ROLLBACK"));
        m_result.status = mergefix_notCommitted;
        return;
    }
    m_result.rowsChanged = m_pending;
}

int MergeRun::stillSameBook(const DuplicateRow &row)
{
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral(
        "SELECT COUNT(*) FROM Books AS a, Books AS b WHERE a.OID = :oid AND b.OID = :maxoid "
        "AND a.Title IS b.Title AND a.Authors IS b.Authors "
        "AND NOT (TRIM(COALESCE(a.Title, '')) = '' AND TRIM(COALESCE(a.Authors, '')) = '')"));
    query.bindValue(QStringLiteral(":oid"), row.oid);
    query.bindValue(QStringLiteral(":maxoid"), row.maxOid);
    if (!query.exec() || !query.next())
        return -1;
    return query.value(0).toInt() > 0 ? 1 : 0;
}

bool MergeRun::moveRow(QSqlQuery &update, const DuplicateRow &row)
{
    const int same = stillSameBook(row);
    if (same != 1) {
        if (same < 0)
            m_result.error = true;
        say(QStringLiteral("! Skipping oid %1: it no longer shares title and authors with %2.\n")
                .arg(row.oid)
                .arg(row.maxOid));
        return true;
    }
    // A savepoint per book: a statement that fails half-way (a trigger's RAISE(FAIL)) is
    // undone completely, so every book moves all its annotations or none.
    if (!exec(QStringLiteral("SAVEPOINT mergefix_row"))) {
        say(QStringLiteral("! Row update failed for %1. Is DB write protected?\n").arg(row.oid));
        m_result.error = true;
        return false;
    }
    update.bindValue(QStringLiteral(":maxoid"), row.maxOid);
    update.bindValue(QStringLiteral(":oid"), row.oid);
    if (!update.exec()) {
        say(QStringLiteral("! Row update failed for %1. Is DB write protected?\n").arg(row.oid));
        say(update.lastError().text() + QLatin1Char('\n'));
        m_result.error = true;
        // Without the savepoint the transaction itself is gone, and anything further would
        // be written outside it.
        if (!exec(QStringLiteral("ROLLBACK TO mergefix_row")))
            return false;
        return exec(QStringLiteral("RELEASE mergefix_row"));
    }
    const int changed = update.numRowsAffected();
    if (!exec(QStringLiteral("RELEASE mergefix_row")))
        return false;
    if (changed <= 0) {
        say(QStringLiteral("- Nothing to change for oid %1\n").arg(row.oid));
    } else {
        say(QStringLiteral("- Changed %1 rows, changing Item's ParentID from %2 to %3\n")
                .arg(changed)
                .arg(row.oid)
                .arg(row.maxOid));
        m_pending += changed;
    }
    return true;
}

} // namespace

DuplicateCheckResult checkMergeFix(const fs::path &dbPath)
{
    qDebug() << "Checking for fixable items for:" << toQString(dbPath);
    DuplicateCheckResult result;
    result.rows.reserve(50);
    if (regularFileSize(dbPath) <= 0) {
        result.error = QStringLiteral("Database file not found or empty: %1").arg(toQString(dbPath));
        qWarning().noquote() << QStringLiteral("ERROR: ") + result.error;
        return result;
    }
    const bool read = readDatabaseReadOnly(
        dbPath, QStringLiteral("checkMergeFix"), [&result](const QSqlDatabase &db, bool mayRetry) {
            result.rows.clear();
            QSqlQuery query(db);
            query.setForwardOnly(true);
            if (!query.exec(duplicateQuery)) {
                if (mayRetry && needsPrivateCopy(query.lastError()))
                    return ReadOutcome::NeedsCopy;
                result.error = query.lastError().text();
                qWarning().noquote() << QStringLiteral("Query exec ERROR: ") + result.error;
                return ReadOutcome::Failed;
            }
            while (query.next()) {
                DuplicateRow row;
                row.title = query.value(0).toString();
                row.authors = query.value(1).toString();
                // Books without title and authors share only the lack of them.
                if (isBlank(row.title) && isBlank(row.authors))
                    continue;
                row.annCount = query.value(2).toInt();
                row.oid = query.value(3).toInt();
                row.maxOid = query.value(4).toInt();
                result.rows.push_back(row);
            }
            if (query.lastError().isValid()) {
                result.error = query.lastError().text();
                qWarning().noquote() << QStringLiteral("Query exec ERROR: ") + result.error;
                result.rows.clear();
                return ReadOutcome::Failed;
            }
            return ReadOutcome::Read;
        });
    if (!read && result.error.isEmpty())
        result.error = QStringLiteral("The database could not be opened.");
    if (!read)
        result.rows.clear();
    qDebug() << "Finished check";
    return result;
}

MergeFixResult performMergeFix(const fs::path &dbPath, const std::vector<DuplicateRow> &rows,
                               const MergeFixOptions &options)
{
    MergeFixResult result;
    const auto fail = [&result](int32_t status, const QString &text) {
        result.log += text;
        qDebug().noquote() << text.trimmed();
        result.status = status;
        result.error = true;
        return result;
    };
    if (regularFileSize(dbPath) <= 0)
        return fail(mergefix_notOpened,
                    QStringLiteral("! Inspection failed (DB not open)\n! No database file at %1\n")
                        .arg(toQString(dbPath)));
    if (options.copyFolder.empty())
        return fail(mergefix_notOpened,
                    QStringLiteral("! No folder for a copy of the database: nothing was changed.\n"));
    const DatabaseCopyResult copy = copyDatabaseFiles(dbPath, options.copyFolder);
    if (!copy.ok)
        return fail(mergefix_notOpened,
                    QStringLiteral("! Could not copy the database before the write, nothing was "
                                   "changed: %1\n")
                        .arg(copy.error));
    result.copyFolder = options.copyFolder;
    result.log += QStringLiteral("Copied the database before the write to: %1\n")
                      .arg(toQString(options.copyFolder));
    qInfo().noquote() << QStringLiteral("Copied the database before the write to:")
                      << toQString(options.copyFolder);

    const QString connection = QStringLiteral("performMergeFix");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        MergeRun(db, result).run(dbPath, rows, options.busyTimeoutMs);
        db.close();
    }
    // Every early end of the run comes back here: the connection never outlives it.
    QSqlDatabase::removeDatabase(connection);
    if (result.status != mergefix_ok) {
        result.error = true;
        result.rowsChanged = 0;
    }
    return result;
}

DatabaseCopyResult copyDatabaseFiles(const fs::path &dbPath, const fs::path &folder)
{
    DatabaseCopyResult result;
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec || !fs::is_directory(folder, ec)) {
        result.error = QStringLiteral("cannot create %1").arg(toQString(folder));
        return result;
    }
    std::vector<fs::path> sources{dbPath};
    const fs::path wal = withSuffix(dbPath, "-wal");
    if (regularFileSize(wal) > 0)
        sources.push_back(wal);
    const fs::path journal = withSuffix(dbPath, "-journal");
    if (regularFileSize(journal) >= 0)
        sources.push_back(journal);
    for (const fs::path &source : sources) {
        const fs::path target = folder / source.filename();
        SafeWriteOptions options;
        options.keepExisting = true;
        const SafeWriteResult written = safeCopyFile(source, target, options);
        if (!written.ok) {
            result.error = QStringLiteral("%1: %2").arg(toQString(source),
                                                        QString::fromStdString(written.error));
            return result;
        }
        const int64_t sourceSize = regularFileSize(source);
        if (sourceSize < 0 || sourceSize != regularFileSize(target)) {
            result.error = QStringLiteral("%1: the copy's size differs").arg(toQString(source));
            return result;
        }
        result.copies.push_back(target);
    }
    result.ok = true;
    return result;
}

bool hasHotJournal(const fs::path &dbPath)
{
    const fs::path journal = withSuffix(dbPath, "-journal");
    if (regularFileSize(journal) <= 0)
        return false;
    QFile file(toQString(journal));
    char first = 0;
    // A journal whose header was zeroed (persistent mode) or truncated holds nothing to undo.
    return file.open(QIODevice::ReadOnly) && file.getChar(&first) && first != 0;
}

IntegrityResult checkDB(const fs::path &dbPath)
{
    IntegrityResult result;
    if (regularFileSize(withSuffix(dbPath, "-wal")) > 0) {
        qWarning() << "Found non-zero Write-Ahead Log";
        result.report += QStringLiteral("! Found non-zero Write-Ahead Log\n\n");
    }
    if (hasHotJournal(dbPath)) {
        qWarning() << "Found a hot journal: an interrupted write";
        result.report += QStringLiteral(
            "! Found a hot journal (\"-journal\"): a write to this database was interrupted. "
            "The reader rolls it back when it next opens the database; checked here with the "
            "journal rolled back in a private copy.\n\n");
        result.errors += 1;
    }
    const int64_t size = regularFileSize(dbPath);
    if (size <= 0) {
        result.report += size < 0 ? QStringLiteral("! Database file not found\n")
                                  : QStringLiteral("! The database file is empty\n");
        result.errors += 1;
        result.report += QStringLiteral("\n\n");
        return result;
    }
    const int32_t errorsBefore = result.errors;
    const bool read = readDatabaseReadOnly(
        dbPath, QStringLiteral("checkDB"), [&result](const QSqlDatabase &db, bool mayRetry) {
            QSqlQuery query(db);
            query.setForwardOnly(true);
            if (!query.exec(QStringLiteral("PRAGMA integrity_check;"))) {
                if (mayRetry && needsPrivateCopy(query.lastError()))
                    return ReadOutcome::NeedsCopy;
                result.report += QStringLiteral("! ") + query.lastError().text();
                result.errors += 1;
                return ReadOutcome::Failed;
            }
            while (query.next()) {
                const QString line = query.value(0).toString();
                result.report += line;
                qDebug().noquote() << line;
                if (line != QLatin1String("ok"))
                    result.errors += 1;
            }
            // A damaged page can also end the result rows early.
            if (query.lastError().isValid()) {
                result.report += QStringLiteral("! ") + query.lastError().text();
                result.errors += 1;
                return ReadOutcome::Failed;
            }
            return ReadOutcome::Read;
        });
    if (!read && result.errors == errorsBefore) {
        result.report += QStringLiteral("! The database could not be opened");
        result.errors += 1;
    }
    result.report += QStringLiteral("\n\n");
    return result;
}
