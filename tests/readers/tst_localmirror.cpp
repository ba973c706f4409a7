// The local mirror: which databases are copied when, and that a copy equals the device's,
// write-ahead log included, and opens with every change the device holds.

#include "core/globalsclass.h"
#include "readers/readerdata.h"
#include "support/dbpeek.h"
#include "support/registryrig.h"
#include "support/testenv.h"
#include "support/testhelpers.h"

#include <QtTest>

#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <optional>

namespace fs = std::filesystem;

class tst_localmirror : public QObject
{
    Q_OBJECT

    std::unique_ptr<RegistryRig> rig;
    std::shared_ptr<Reader> reader;
    fs::path deviceDb, mirrorDb;

    // What a mirror run reports: "explorer" when it copied the explorer database, "data" when a
    // profile database changed.
    QString mirror(int part, bool force = false)
    {
        const LocalMirrorResult result = rig->registry->localDBmirror(*reader, part, force);
        return QStringLiteral("%1 %2").arg(result.mainCopied ? "explorer" : "-",
                                           result.dataChanged ? "data" : "-");
    }

    // A database or its log as bytes and time; empty and the oldest time when it is missing.
    static std::pair<QByteArray, fs::file_time_type> state(fs::path db, const char *suffix)
    {
        db += suffix;
        std::error_code missing;
        return {testenv::readFile(db), fs::last_write_time(db, missing)};
    }

private slots:
    // A reader with a main memory (root profile, explorer db) and a card with a profile,
    // found by a scan.
    void init()
    {
        rig = std::make_unique<RegistryRig>();
        const fixture::ReaderTree main = rig->mainMemory("mnt/main");
        deviceDb = main.root() / "system/config/books.db";
        fixture::BooksDb(deviceDb).addBook("Main book", "A");
        fixture::ReaderTree card(rig->at("mnt/card"));
        fixture::BooksDb(card.addProfile("Anna")).addBook("Card book", "B");
        rig->plug("SN-MIRROR", "/dev/sdb", main.root());
        rig->plug("SN-MIRROR", "/dev/sdc1", card.root(), "SDCARD", "0:1");
        rig->registry->device_scan(true);
        reader = rig->registry->findReader("SN-MIRROR");
        mirrorDb = rig->mirror("SN-MIRROR") / "system/config/books.db";
    }

    void cleanup()
    {
        reader.reset();
        rig.reset();
    }

    void parts_copyOnceUnlessForced_data()
    {
        QTest::addColumn<int>("part");
        QTest::newRow("main memory") << 0;
        QTest::newRow("everything") << 1;
        QTest::newRow("card") << 2;
    }

    void parts_copyOnceUnlessForced()
    {
        QFETCH(int, part);
        const bool main = part != 2, card = part != 0;
        const fs::path folder = rig->mirror("SN-MIRROR");
        const QString copied = main ? "explorer data" : "- data";
        QCOMPARE(mirror(part), copied);
        QCOMPARE(fs::exists(folder / "system/explorer-3/explorer-3.db"), main);
        QCOMPARE(testenv::readFile(mirrorDb) == testenv::readFile(deviceDb), main);
        // A card's profiles sit in the same mirror, below their path on the card.
        QCOMPARE(fs::exists(folder / "system/profiles/Anna/config/books.db"), card);
        QCOMPARE(mirror(part), QStringLiteral("- -"));
        QCOMPARE(mirror(part, true), copied);
    }

    void changedDevice_mirrorEqualsDevice_data()
    {
        QTest::addColumn<int>("change");
        QTest::addColumn<int>("books");
        QTest::addColumn<qint64>("deviceTime"); // seconds since 1970, given after the change
        const qint64 hourAgo = QDateTime::currentSecsSinceEpoch() - 3600;
        QTest::newRow("grown, an hour older, stale log and index in the mirror")
            << 0 << 2 << hourAgo;
        QTest::newRow("same size, older time (before 1970)") << 1 << 1 << qint64(-86400 * 400);
        QTest::newRow("older database with a newer log") << 2 << 3 << hourAgo;
    }

    // Every change is given a time before the last copy, as a FAT volume read in another time
    // zone or a reader with a slow clock does. The mirror keeps the device's times to the
    // nanosecond (a log written here has them).
    void changedDevice_mirrorEqualsDevice()
    {
        QFETCH(int, change);
        QFETCH(int, books);
        QFETCH(qint64, deviceTime);
        std::optional<fixture::BooksDb> open;
        if (change == 2) {
            // The reader writes in WAL mode; while its connection is open the newest rows live
            // only in the "-wal" file.
            open.emplace(deviceDb);
            open->exec(QStringLiteral("PRAGMA journal_mode=WAL"));
            open->exec(QStringLiteral("PRAGMA wal_autocheckpoint=0"));
            open->addBook("In the log", "C");
        }
        QCOMPARE(mirror(0), QStringLiteral("explorer data"));

        if (change == 0) {
            fixture::BooksDb(deviceDb).addBook("Later", "D");
            fixture::ReaderTree leftovers(mirrorDb.parent_path());
            leftovers.addFile("books.db-wal", QByteArray(4096, 'x'));
            leftovers.addFile("books.db-shm", QByteArray(4096, 'y'));
        }
        if (change == 1)
            fixture::BooksDb(deviceDb).exec(
                QStringLiteral("UPDATE Tags SET Val = 'Niam book' WHERE Val = 'Main book'"));
        if (change == 2) {
            open->exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
            open->addBook("Newer in the log", "E");
        }
        fixture::ReaderTree(deviceDb.parent_path()).setWriteTime(deviceDb, deviceTime);

        QCOMPARE(mirror(0), QStringLiteral("- data"));
        for (const char *suffix : {"", "-wal"})
            QVERIFY2(state(mirrorDb, suffix) == state(deviceDb, suffix), suffix);
        QVERIFY(!fs::exists(mirrorDb.string() + "-shm"));
        QCOMPARE(mirror(0), QStringLiteral("- -"));
        QCOMPARE(dbpeek::queryInt(mirrorDb, QStringLiteral("SELECT COUNT(*) FROM Books")), books);
    }

    void mirrorFolderCannotBeCreated_copiesNothing()
    {
        fixture::ReaderTree(rig->base).addFile("blocked",
                                               "a file where the data directory should be");
        rig->globals->setDatadir(rig->at("blocked"));
        QCOMPARE(mirror(1, true), QStringLiteral("- -"));
    }

    void interruptedCopy_keepsTheOldMirror()
    {
        mirror(0);
        const QByteArray before = testenv::readFile(mirrorDb);
        fixture::BooksDb(deviceDb).addBook("Grown", std::string(50000, 'x'));
        // The disk fills up halfway through the new copy: writes beyond this size fail.
        rlimit previous{};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &previous), 0);
        const rlimit small{rlim_t(before.size()) + 8192, previous.rlim_max};
        const auto previousHandler = ::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        const QString result = mirror(0);
        ::setrlimit(RLIMIT_FSIZE, &previous);
        ::signal(SIGXFSZ, previousHandler);

        QCOMPARE(result, QStringLiteral("- -"));
        QCOMPARE(testenv::readFile(mirrorDb), before);
        QCOMPARE(testhelpers::folderEntries(mirrorDb.parent_path()), QStringList{"books.db"});
        QCOMPARE(mirror(0), QStringLiteral("- data"));
    }
};

QTEST_GUILESS_MAIN(tst_localmirror)
#include "tst_localmirror.moc"
