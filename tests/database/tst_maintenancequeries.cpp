#include "database/annotationimport.h"
#include "database/maintenancequeries.h"
#include "readerfixture/readerfixture.h"
#include "support/dbpeek.h"
#include "support/testhelpers.h"

#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QTest>

#include <filesystem>
#include <fstream>
#include <optional>
#include <tuple>

namespace fs = std::filesystem;
using dbpeek::checksum;
using dbpeek::childrenOf;
using fixture::BooksDb;
using testhelpers::BrokenDb;

namespace {

fs::path withSuffix(fs::path path, const char *suffix)
{
    return path += suffix;
}

// The rows of checkMergeFix with the sets of `title` ticked.
std::vector<DuplicateRow> ticked(const fs::path &db, const QString &title = {})
{
    std::vector<DuplicateRow> rows = checkMergeFix(db).rows;
    for (DuplicateRow &r : rows)
        r.selected = title.isEmpty() || r.title == title;
    return rows;
}

// Status, rows moved and error flag, to compare at once.
std::tuple<int, int, bool> outcome(const MergeFixResult &result)
{
    return {result.status, result.rowsChanged, result.error};
}

} // namespace

class tst_maintenancequeries : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    int m_counter = 0;

    fs::path newDb(bool withBooks = true)
    {
        const fs::path folder = fs::path(m_dir.path().toStdString()) / std::to_string(++m_counter);
        fs::create_directories(folder);
        if (!withBooks)
            return folder / "books.db";
        // "Dune" 10, 20, 30 (2, 1, 0 annotations), "Emma" 40, 50 (1, 2), blank books 600, 610
        // and NULL ones 700, 710 (one annotation each), a single book 800.
        BooksDb db(folder / "books.db");
        for (int oid : {10, 20, 30})
            db.addBook("Dune", "Herbert", oid);
        for (int oid : {40, 50})
            db.addBook("Emma", "Austen", oid);
        for (int oid : {600, 610, 700, 710})
            db.addBook("", "", oid);
        db.exec(QStringLiteral("UPDATE Books SET Title = NULL, Authors = NULL WHERE OID >= 700"));
        db.addBook("Solo", "One", 800);
        for (int oid : {10, 10, 20, 40, 50, 50, 600, 610, 700, 710})
            db.addAnnotation(oid);
        return db.path();
    }
    MergeFixResult merge(const fs::path &db, const std::vector<DuplicateRow> &rows,
                         int busyMs = 1000)
    {
        return performMergeFix(db, rows, {db.parent_path() / "copy", busyMs});
    }
    // A copy taken while a write was under way: its hot journal undoes the change.
    fs::path hotJournalDb()
    {
        const fs::path source = newDb(), hot = newDb(false);
        fixture::SqliteFile db(source); // without sync the journal's header is final at once
        db.exec(QStringLiteral("BEGIN"));
        db.exec(QStringLiteral("UPDATE Items SET ParentID = 999"));
        fs::copy_file(source, hot);
        fs::copy_file(withSuffix(source, "-journal"), withSuffix(hot, "-journal"));
        db.exec(QStringLiteral("ROLLBACK"));
        return hot;
    }

private slots:
    void cleanup()
    {
        // Every path of the queries closes and removes its named connection.
        QVERIFY(QSqlDatabase::connectionNames().isEmpty());
    }

    void performMergeFix_movesTickedStillMatching_afterByteIdenticalCopy()
    {
        const fs::path path = newDb();
        BooksDb db(path); // held open, so that its last writes stay in the log alone
        db.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
        db.exec(QStringLiteral("PRAGMA wal_autocheckpoint=0"));
        db.addAnnotation(10);
        db.addBook("Solo", "One", 900);
        const std::vector<DuplicateRow> rows = ticked(path, QStringLiteral("Dune"));
        QStringList seen; // newest of each set first; blank and NULL sets are not offered
        for (const DuplicateRow &r : rows)
            seen << r.title + QString::asprintf(":%d/%d:%d", r.oid, r.maxOid, r.annCount);
        QCOMPARE(seen.join(QLatin1Char(' ')),
                 QStringLiteral("Dune:30/30:0 Dune:20/30:1 Dune:10/30:3 Emma:50/50:2 Emma:40/50:1 "
                                "Solo:900/900:0 Solo:800/900:0"));
        // A book renamed since the inspection has left the set: it keeps its annotation.
        db.exec(QStringLiteral("UPDATE Books SET Title = 'Dune Messiah' WHERE OID = 20"));
        const QByteArray before = checksum(path) + checksum(withSuffix(path, "-wal"));
        QCOMPARE(outcome(merge(path, rows)), std::make_tuple(0, 3, false));
        for (const auto &[oid, count] : std::initializer_list<std::pair<int, int>>{
                 {30, 3}, {10, 0}, {20, 1}, {40, 1}, {600, 1}, {700, 1}})
            QCOMPARE(childrenOf(path, oid), count);
        const fs::path copy = path.parent_path() / "copy/books.db";
        QCOMPARE(checksum(copy) + checksum(withSuffix(copy, "-wal")), before);
    }

    void performMergeFix_nothingUsable_writesNothing_data()
    {
        QTest::addColumn<QString>("blocker");
        QTest::addColumn<int>("status");
        QTest::newRow("missing books.db") << QStringLiteral("missing") << int(mergefix_notOpened);
        QTest::newRow("copy folder blocked") << QStringLiteral("copy") << int(mergefix_notOpened);
        QTest::newRow("locked") << QStringLiteral("lock") << int(mergefix_noWriteLock);
    }
    void performMergeFix_nothingUsable_writesNothing()
    {
        QFETCH(QString, blocker);
        QFETCH(int, status);
        const fs::path path = newDb(blocker != QLatin1String("missing"));
        if (blocker == QLatin1String("copy"))
            std::ofstream(path.parent_path() / "copy");
        const QByteArray before = checksum(path); // empty for a missing file
        // The rows of another database: their ids fit any of these.
        const std::vector<DuplicateRow> rows = ticked(newDb(), QStringLiteral("Dune"));
        std::optional<fixture::SqliteFile> other;
        if (blocker == QLatin1String("lock")) {
            other.emplace(path);
            other->exec(QStringLiteral("BEGIN EXCLUSIVE"));
        }
        const MergeFixResult result = merge(path, rows, 50);
        other.reset();
        QCOMPARE(outcome(result), std::make_tuple(status, 0, true));
        if (blocker == QLatin1String("lock")) // what the user reads in the dialog
            QVERIFY(result.log.contains(QStringLiteral("Could not get write lock")));
        QCOMPARE(checksum(path), before);
    }

    void performMergeFix_triggerRaises_countsWhatWasCommitted_data()
    {
        QTest::addColumn<QString>("raise");
        QTest::addColumn<int>("changed");
        QTest::addColumn<int>("status");
        // Book 20's update fails; book 10 (2 annotations) still moves.
        QTest::newRow("abort") << QStringLiteral("ABORT") << 2 << int(mergefix_ok);
        // ROLLBACK ends the whole transaction: the COMMIT has nothing to commit.
        QTest::newRow("rollback") << QStringLiteral("ROLLBACK") << 0 << int(mergefix_notCommitted);
    }
    void performMergeFix_triggerRaises_countsWhatWasCommitted()
    {
        QFETCH(QString, raise);
        QFETCH(int, changed);
        QFETCH(int, status);
        const fs::path path = newDb();
        BooksDb db(path);
        db.addAnnotation(20);
        db.exec(QStringLiteral("CREATE TRIGGER refuse BEFORE UPDATE OF ParentID ON Items "
                               "WHEN OLD.ParentID = 20 AND OLD.OID = (SELECT MAX(OID) FROM "
                               "Items WHERE ParentID = 20) BEGIN SELECT RAISE(%1, 'refused'); END")
                    .arg(raise));
        const MergeFixResult result = merge(path, ticked(path, QStringLiteral("Dune")));
        QCOMPARE(outcome(result), std::make_tuple(status, changed, true));
        QCOMPARE(childrenOf(path, 30), changed);
        QCOMPARE(childrenOf(path, 20), 2);
    }

    void checkDB_verdicts_leaveFilesUnchanged_data()
    {
        // A BrokenDb, or -1: the duplicates, -2: the duplicates with a hot journal.
        QTest::addColumn<int>("broken");
        QTest::addColumn<QString>("reportHas"); // empty: healthy
        QTest::newRow("healthy") << -1 << QString();
        QTest::newRow("damaged page") << int(BrokenDb::DamagedPage) << QStringLiteral("! ");
        QTest::newRow("hot journal") << -2 << QStringLiteral("hot journal");
    }
    void checkDB_verdicts_leaveFilesUnchanged()
    {
        QFETCH(int, broken);
        QFETCH(QString, reportHas);
        const fs::path path = broken == -2 ? hotJournalDb() : newDb(broken == -1);
        if (broken >= 0)
            testhelpers::writeBrokenDatabase(path, BrokenDb(broken));
        const QByteArray before = checksum(path) + checksum(withSuffix(path, "-journal"));

        const IntegrityResult result = checkDB(path);
        QCOMPARE(result.errors > 0, !reportHas.isEmpty());
        QVERIFY2(result.report.contains(reportHas.isEmpty() ? QStringLiteral("ok") : reportHas),
                 qPrintable(result.report));
        if (broken == -2) {
            // The readers see the database as the journal rolls it back.
            std::vector<AnnotationRecord> records;
            QVERIFY(importAnnotations(records, path));
            QCOMPARE(records.size(), size_t(10));
        }
        QCOMPARE(checksum(path) + checksum(withSuffix(path, "-journal")), before);
    }
};

QTEST_GUILESS_MAIN(tst_maintenancequeries)
#include "tst_maintenancequeries.moc"
