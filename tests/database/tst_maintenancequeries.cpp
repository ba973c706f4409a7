#include "database/annotationimport.h"
#include "database/maintenancequeries.h"
#include "readerfixture/readerfixture.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <filesystem>

namespace fs = std::filesystem;
using fixture::BooksDb;

namespace {

fs::path withSuffix(fs::path path, const char *suffix)
{
    path += suffix;
    return path;
}

QByteArray checksum(const fs::path &path)
{
    QFile file(QString::fromStdString(path.string()));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256);
}

// One value of one statement on a connection of its own.
int queryInt(const fs::path &db, const QString &sql)
{
    int value = -1;
    {
        QSqlDatabase c = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("t"));
        c.setDatabaseName(QString::fromStdString(db.string()));
        QSqlQuery query(c);
        if (c.open() && query.exec(sql) && query.next())
            value = query.value(0).toInt();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("t"));
    return value;
}

int childrenOf(const fs::path &db, int oid)
{
    return queryInt(db, QStringLiteral("SELECT COUNT(*) FROM Items WHERE ParentID = %1").arg(oid));
}

// Set "Dune" (items 10, 20, 30 with 2, 1 and 0 annotations), set "Emma" (40, 50 with 1 and 2),
// two blank books (600, 610: empty title and authors) and two NULL ones (700, 710), with one
// annotation each, and a single book (800).
void writeDuplicates(BooksDb &db)
{
    for (int oid : {10, 20, 30})
        db.addBook("Dune", "Herbert", oid);
    db.addAnnotation(10);
    db.addAnnotation(10);
    db.addAnnotation(20);
    db.addBook("Emma", "Austen", 40);
    db.addBook("Emma", "Austen", 50);
    db.addAnnotation(40);
    db.addAnnotation(50);
    db.addAnnotation(50);
    for (int oid : {600, 610}) {
        db.addBook("", "", oid);
        db.addAnnotation(oid);
    }
    for (int oid : {700, 710}) {
        db.exec(QStringLiteral("INSERT INTO Items (OID, TypeID) VALUES (?, 2)"), {oid});
        db.exec(QStringLiteral("INSERT INTO Books (OID) VALUES (?)"), {oid});
        db.addAnnotation(oid);
    }
    db.addBook("Solo", "One", 800);
}

DuplicateRow row(const char *title, int oid, int maxOid, bool selected)
{
    DuplicateRow r;
    r.title = QString::fromLatin1(title);
    r.authors = QStringLiteral("x");
    r.oid = oid;
    r.maxOid = maxOid;
    r.selected = selected;
    return r;
}

bool noConnectionLeft()
{
    const QStringList names = QSqlDatabase::connectionNames();
    return !names.contains(QStringLiteral("performMergeFix")) &&
           !names.contains(QStringLiteral("checkMergeFix")) &&
           !names.contains(QStringLiteral("checkDB"));
}

} // namespace

class tst_maintenancequeries : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    int m_counter = 0;

    fs::path newDb()
    {
        const fs::path folder = fs::path(m_dir.path().toStdString()) / std::to_string(++m_counter);
        fs::create_directories(folder);
        return folder / "books.db";
    }
    fs::path duplicatesDb()
    {
        const fs::path path = newDb();
        BooksDb db(path);
        writeDuplicates(db);
        return path;
    }
    // A copy of a database whose write was interrupted: a hot journal undoes the change.
    fs::path hotJournalDb()
    {
        const fs::path source = duplicatesDb();
        const fs::path hot = newDb();
        {
            QSqlDatabase c = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("w"));
            c.setDatabaseName(QString::fromStdString(source.string()));
            c.open();
            QSqlQuery q(c);
            // Without sync the journal's header is final at once: copied now, it is hot.
            q.exec(QStringLiteral("PRAGMA synchronous=OFF"));
            q.exec(QStringLiteral("BEGIN"));
            q.exec(QStringLiteral("UPDATE Items SET ParentID = 999"));
            fs::copy_file(source, hot);
            fs::copy_file(withSuffix(source, "-journal"), withSuffix(hot, "-journal"));
            q.exec(QStringLiteral("ROLLBACK"));
        }
        QSqlDatabase::removeDatabase(QStringLiteral("w"));
        return hot;
    }

private slots:
    void checkMergeFix_findsSetsWithCounts_offersNoBlankSets()
    {
        const DuplicateCheckResult result = checkMergeFix(duplicatesDb());
        QVERIFY(result.error.isEmpty());
        QStringList seen;
        for (const DuplicateRow &r : result.rows)
            seen << QStringLiteral("%1:%2/%3:%4").arg(r.title).arg(r.oid).arg(r.maxOid).arg(r.annCount);
        QCOMPARE(seen, (QStringList{QStringLiteral("Dune:30/30:0"), QStringLiteral("Dune:20/30:1"),
                                    QStringLiteral("Dune:10/30:2"), QStringLiteral("Emma:50/50:2"),
                                    QStringLiteral("Emma:40/50:1")}));
        QVERIFY(noConnectionLeft());
    }

    void checkMergeFix_walRowsOnlyInLog_found()
    {
        const fs::path path = newDb();
        BooksDb db(path);
        db.addBook("Dune", "Herbert", 10);
        db.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
        db.exec(QStringLiteral("PRAGMA wal_autocheckpoint=0"));
        db.addBook("Dune", "Herbert", 20);
        db.addAnnotation(10);
        QVERIFY(fs::file_size(withSuffix(path, "-wal")) > 0);
        const DuplicateCheckResult result = checkMergeFix(path);
        QCOMPARE(result.rows.size(), size_t(2));
        QCOMPARE(result.rows[1].annCount, 1);

        std::vector<DuplicateRow> rows = result.rows;
        rows[1].selected = true;
        MergeFixOptions options;
        options.copyFolder = path.parent_path() / "copy";
        const MergeFixResult merged = performMergeFix(path, rows, options);
        QCOMPARE(merged.status, int(mergefix_ok));
        QCOMPARE(merged.rowsChanged, 1);
        QCOMPARE(childrenOf(path, 20), 1);
        // The copy holds the log too: on its own it still shows the annotation on book 10.
        QVERIFY(fs::exists(options.copyFolder / "books.db-wal"));
    }

    void checkMergeFix_unreadable_isAFailure_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("random bytes") << QByteArray(8192, '\x5a');
        QTest::newRow("missing") << QByteArray();
    }
    void checkMergeFix_unreadable_isAFailure()
    {
        QFETCH(QByteArray, bytes);
        const fs::path path = newDb();
        if (!bytes.isEmpty()) {
            QFile file(QString::fromStdString(path.string()));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(bytes);
        }
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("ERROR: ")));
        const DuplicateCheckResult result = checkMergeFix(path);
        QVERIFY(!result.error.isEmpty());
        QVERIFY(result.rows.empty());
        QCOMPARE(fs::exists(path), !bytes.isEmpty());
    }

    void performMergeFix_movesTickedOnly_copyIsByteIdentical()
    {
        const fs::path path = duplicatesDb();
        const QByteArray before = checksum(path);
        std::vector<DuplicateRow> rows = checkMergeFix(path).rows;
        for (DuplicateRow &r : rows)
            r.selected = r.title == QLatin1String("Dune");
        // Blank and NULL books never merge, even when a caller asks.
        rows.push_back(row("", 600, 610, true));
        rows.push_back(row("", 700, 710, true));
        MergeFixOptions options;
        options.copyFolder = path.parent_path() / "run" / "main";
        const MergeFixResult result = performMergeFix(path, rows, options);

        QCOMPARE(result.status, int(mergefix_ok));
        QCOMPARE(result.rowsChanged, 3);
        QCOMPARE(childrenOf(path, 30), 3);
        QCOMPARE(childrenOf(path, 10), 0);
        QCOMPARE(childrenOf(path, 40), 1);
        QCOMPARE(childrenOf(path, 600), 1);
        QCOMPARE(childrenOf(path, 700), 1);
        QCOMPARE(checksum(options.copyFolder / "books.db"), before);
        QVERIFY(result.log.contains(QStringLiteral("- Skipping unselected child entry (maxoid/oid) 50 / 40.")));
        QVERIFY(noConnectionLeft());
    }

    void performMergeFix_lockHeldElsewhere_refusesAndChangesNothing()
    {
        const fs::path path = duplicatesDb();
        std::vector<DuplicateRow> rows = checkMergeFix(path).rows;
        for (DuplicateRow &r : rows)
            r.selected = true;
        const QByteArray before = checksum(path);
        MergeFixResult result;
        {
            QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("other"));
            other.setDatabaseName(QString::fromStdString(path.string()));
            QVERIFY(other.open());
            QSqlQuery lock(other);
            QVERIFY(lock.exec(QStringLiteral("BEGIN EXCLUSIVE")));
            MergeFixOptions options;
            options.copyFolder = path.parent_path() / "copy";
            options.busyTimeoutMs = 50;
            result = performMergeFix(path, rows, options);
            lock.exec(QStringLiteral("ROLLBACK"));
        }
        QSqlDatabase::removeDatabase(QStringLiteral("other"));
        QCOMPARE(result.status, int(mergefix_noWriteLock));
        QVERIFY(result.log.contains(QStringLiteral("! Could not get write lock. Please close DB in other program.")));
        QCOMPARE(result.rowsChanged, 0);
        QCOMPARE(checksum(path), before);
        QVERIFY(noConnectionLeft());
    }

    void performMergeFix_noUsableFile_createsAndWritesNothing_data()
    {
        QTest::addColumn<int>("situation");
        QTest::newRow("missing database") << 0;
        QTest::newRow("empty database") << 1;
        QTest::newRow("copy folder cannot be made") << 2;
    }
    void performMergeFix_noUsableFile_createsAndWritesNothing()
    {
        QFETCH(int, situation);
        const fs::path path = situation == 2 ? duplicatesDb() : newDb();
        if (situation == 1)
            QFile(QString::fromStdString(path.string())).open(QIODevice::WriteOnly);
        const QByteArray before = checksum(path);
        MergeFixOptions options;
        const fs::path blocker = path.parent_path() / "plainfile";
        QFile(QString::fromStdString(blocker.string())).open(QIODevice::WriteOnly);
        options.copyFolder = situation == 2 ? blocker / "copy" : path.parent_path() / "copy";
        const MergeFixResult result = performMergeFix(path, {row("Dune", 10, 30, true)}, options);
        QCOMPARE(result.status, int(mergefix_notOpened));
        QVERIFY(result.error);
        QCOMPARE(fs::exists(path), situation != 0);
        QCOMPARE(checksum(path), before);
        QVERIFY(noConnectionLeft());
    }

    void performMergeFix_triggerRaises_countsWhatWasCommitted_data()
    {
        QTest::addColumn<QString>("raise");
        QTest::addColumn<int>("changed");
        QTest::addColumn<int>("status");
        // Book 20's update fails; book 10 (2 annotations) still moves.
        QTest::newRow("abort") << QStringLiteral("ABORT") << 2 << int(mergefix_ok);
        // FAIL keeps a statement's earlier rows: the savepoint undoes them.
        QTest::newRow("fail") << QStringLiteral("FAIL") << 2 << int(mergefix_ok);
        // ROLLBACK ends the whole transaction: nothing is written after it.
        QTest::newRow("rollback") << QStringLiteral("ROLLBACK") << 0 << int(mergefix_notCommitted);
    }
    void performMergeFix_triggerRaises_countsWhatWasCommitted()
    {
        QFETCH(QString, raise);
        QFETCH(int, changed);
        QFETCH(int, status);
        const fs::path path = newDb();
        {
            BooksDb db(path);
            writeDuplicates(db);
            db.addAnnotation(20);
            db.exec(QStringLiteral("CREATE TRIGGER refuse BEFORE UPDATE OF ParentID ON Items "
                                   "WHEN OLD.ParentID = 20 AND OLD.OID = (SELECT MAX(OID) FROM "
                                   "Items WHERE ParentID = 20) BEGIN SELECT RAISE(%1, 'refused'); END")
                        .arg(raise));
        }
        std::vector<DuplicateRow> rows = checkMergeFix(path).rows;
        for (DuplicateRow &r : rows)
            r.selected = r.title == QLatin1String("Dune");
        MergeFixOptions options;
        options.copyFolder = path.parent_path() / "copy";
        const MergeFixResult result = performMergeFix(path, rows, options);
        QCOMPARE(result.rowsChanged, changed);
        QCOMPARE(result.status, status);
        QVERIFY(result.error);
        QCOMPARE(childrenOf(path, 30), changed);
        QCOMPARE(childrenOf(path, 20), 2);
        QVERIFY(noConnectionLeft());
    }

    void performMergeFix_bookRenamedSinceInspection_skipsIt()
    {
        const fs::path path = duplicatesDb();
        std::vector<DuplicateRow> rows = checkMergeFix(path).rows;
        for (DuplicateRow &r : rows)
            r.selected = true;
        {
            fixture::SqliteFile db(path);
            db.exec(QStringLiteral("UPDATE Books SET Title = 'Dune Messiah' WHERE OID = 10"));
        }
        MergeFixOptions options;
        options.copyFolder = path.parent_path() / "copy";
        const MergeFixResult result = performMergeFix(path, rows, options);
        QCOMPARE(result.rowsChanged, 2);
        QCOMPARE(childrenOf(path, 10), 2);
        QCOMPARE(childrenOf(path, 30), 1);
        QVERIFY(result.log.contains(QStringLiteral("! Skipping oid 10")));
    }

    void checkDB_verdicts_leaveFilesUnchanged_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("hasErrors");
        QTest::addColumn<QString>("reportHas");
        QTest::newRow("healthy") << QStringLiteral("healthy") << false << QStringLiteral("ok");
        QTest::newRow("wal") << QStringLiteral("wal") << false << QStringLiteral("! Found non-zero Write-Ahead Log");
        QTest::newRow("random bytes") << QStringLiteral("random") << true << QStringLiteral("! ");
        QTest::newRow("corrupted") << QStringLiteral("corrupt") << true << QString();
        QTest::newRow("hot journal") << QStringLiteral("hot") << true << QStringLiteral("hot journal");
    }
    void checkDB_verdicts_leaveFilesUnchanged()
    {
        QFETCH(QString, kind);
        QFETCH(bool, hasErrors);
        QFETCH(QString, reportHas);
        fs::path path;
        std::unique_ptr<BooksDb> writer;
        if (kind == QLatin1String("hot")) {
            path = hotJournalDb();
        } else if (kind == QLatin1String("wal")) {
            path = newDb();
            writer = std::make_unique<BooksDb>(path);
            writer->exec(QStringLiteral("PRAGMA journal_mode=WAL"));
            writer->exec(QStringLiteral("PRAGMA wal_autocheckpoint=0"));
            writeDuplicates(*writer);
        } else {
            path = duplicatesDb();
        }
        QFile file(QString::fromStdString(path.string()));
        if (kind == QLatin1String("random")) {
            QVERIFY(file.open(QIODevice::WriteOnly));
            QByteArray bytes(16384, '\0');
            for (int i = 0; i < bytes.size(); ++i)
                bytes[i] = char((i * 7919 + 13) % 251);
            file.write(bytes);
            file.close();
        } else if (kind == QLatin1String("corrupt")) {
            // Page 2 overwritten: a table's b-tree page becomes garbage.
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.seek(4096 + 8));
            file.write(QByteArray(3000, '\x33'));
            file.close();
        }
        const QByteArray dbBefore = checksum(path);
        const QByteArray walBefore = checksum(withSuffix(path, "-wal"));
        const QByteArray journalBefore = checksum(withSuffix(path, "-journal"));

        const IntegrityResult result = checkDB(path);
        QCOMPARE(result.errors > 0, hasErrors);
        QVERIFY2(result.report.contains(reportHas), qPrintable(result.report));
        QCOMPARE(checksum(path), dbBefore);
        QCOMPARE(checksum(withSuffix(path, "-wal")), walBefore);
        QCOMPARE(checksum(withSuffix(path, "-journal")), journalBefore);
        QVERIFY(noConnectionLeft());
    }

    void importAnnotations_hotJournal_readsRolledBackCopy()
    {
        const fs::path path = hotJournalDb();
        QVERIFY(hasHotJournal(path));
        const QByteArray dbBefore = checksum(path);
        const QByteArray journalBefore = checksum(withSuffix(path, "-journal"));
        std::vector<AnnotationRecord> records;
        QVERIFY(importAnnotations(records, path));
        QCOMPARE(records.size(), size_t(10));
        QCOMPARE(checksum(path), dbBefore);
        QCOMPARE(checksum(withSuffix(path, "-journal")), journalBefore);
    }
};

QTEST_GUILESS_MAIN(tst_maintenancequeries)
#include "tst_maintenancequeries.moc"
