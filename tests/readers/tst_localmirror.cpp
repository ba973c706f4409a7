// The local mirror: which databases are copied when, and that a copy opens with every
// change the device holds, write-ahead log included.

#include "core/globalsclass.h"
#include "readers/gui_msgchannel.h"
#include "readers/readerdata.h"
#include "support/fakeplatform.h"
#include "readerfixture/readerfixture.h"
#include "support/testenv.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <optional>

namespace fs = std::filesystem;

namespace {

// Counts the rows of a table with a read-only connection of its own.
int countRows(const fs::path &db, const QString &table)
{
    int count = -1;
    {
        QSqlDatabase conn = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("count"));
        conn.setDatabaseName(QString::fromStdString(db.string()));
        conn.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (conn.open()) {
            QSqlQuery query(conn);
            if (query.exec(QStringLiteral("SELECT COUNT(*) FROM ") + table) && query.next())
                count = query.value(0).toInt();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("count"));
    return count;
}

fs::path sibling(const fs::path &db, const char *suffix)
{
    fs::path result = db;
    result += suffix;
    return result;
}

} // namespace

class tst_localmirror : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void unchangedDevice_secondRunCopiesNothing();
    void force_copiesEverythingAgain();
    void parts_selectMainCardOrAll_data();
    void parts_selectMainCardOrAll();
    void walCompanion_copiedSoTheMirrorHoldsEveryChange();
    void walCompanion_staleLogsRemovedWhenDeviceHasNone();
    void mirrorFolderCannotBeCreated_copiesNothing();
    void changedDevice_mirrorEqualsDevice_data();
    void changedDevice_mirrorEqualsDevice();
    void interruptedCopy_keepsTheOldMirror();
    void mirrorScannedBeforeOrAfterDevice_profileListedOnce_data();
    void mirrorScannedBeforeOrAfterDevice_profileListedOnce();

private:
    /// A reader with a main memory (root profile, explorer db) and a card with a profile,
    /// its profiles scanned as the registry does it.
    std::shared_ptr<Reader> attachedReader();

    std::unique_ptr<QTemporaryDir> m_root;
    fs::path m_base;
    std::shared_ptr<globalsClass> m_globals;
    std::shared_ptr<ReaderData> m_registry;
};

void tst_localmirror::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void tst_localmirror::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    m_base = m_root->path().toStdString();
    m_globals = std::make_shared<globalsClass>(false, m_base.string(), (m_base / "data").string(),
                                               m_base / "share", m_base / "config");
    m_registry = std::make_shared<ReaderData>(
        std::make_shared<gui_msgchannel>(), m_globals, false,
        makeFakePlatform(std::make_shared<FakeBlockDevices>(), std::make_shared<FakeMounts>()));
}

void tst_localmirror::cleanup()
{
    m_registry.reset();
    m_root.reset();
}

std::shared_ptr<Reader> tst_localmirror::attachedReader()
{
    fixture::ReaderTree main(m_base / "mnt/main");
    main.addExplorerDb();
    fixture::BooksDb(main.addRootProfile()).addBook("Main book", "A");
    fixture::ReaderTree card(m_base / "mnt/card");
    fixture::BooksDb(card.addProfile("Anna")).addBook("Card book", "B");

    DetectionRecord record;
    record.serial = "SN-MIRROR";
    auto reader = std::make_shared<Reader>(record);
    reader->owner = m_registry.get();
    reader->readertype = readertype_localmirror;
    reader->mainpath = main.root();
    reader->cardpath = card.root();
    const ExplorerDbInfo explorer = reader->get_db_main(main.root());
    reader->db_main = explorer.path;
    reader->db_main_relative = explorer.path.lexically_relative(main.root());
    reader->processProfiles(main.root(), 0);
    reader->processProfiles(card.root(), 2);
    return reader;
}

void tst_localmirror::unchangedDevice_secondRunCopiesNothing()
{
    const auto reader = attachedReader();
    const LocalMirrorResult first = m_registry->localDBmirror(*reader, 1, false);
    QVERIFY(first.mainCopied);
    QVERIFY(first.dataChanged);
    const fs::path mirror = m_base / "data/SN-MIRROR/localdbmirror";
    QCOMPARE(countRows(mirror / "system/config/books.db", QStringLiteral("Books")), 1);
    QCOMPARE(countRows(mirror / "system/profiles/Anna/config/books.db", QStringLiteral("Books")), 1);
    QVERIFY(fs::exists(mirror / "system/explorer-3/explorer-3.db"));

    const LocalMirrorResult second = m_registry->localDBmirror(*reader, 1, false);
    QVERIFY(!second.mainCopied);
    QVERIFY(!second.dataChanged);
}

void tst_localmirror::force_copiesEverythingAgain()
{
    const auto reader = attachedReader();
    m_registry->localDBmirror(*reader, 1, false);
    const LocalMirrorResult forced = m_registry->localDBmirror(*reader, 1, true);
    QVERIFY(forced.mainCopied);
    QVERIFY(forced.dataChanged);
}

void tst_localmirror::parts_selectMainCardOrAll_data()
{
    QTest::addColumn<int>("part");
    QTest::addColumn<bool>("explorer");
    QTest::addColumn<bool>("rootProfile");
    QTest::addColumn<bool>("cardProfile");
    QTest::newRow("main memory") << 0 << true << true << false;
    QTest::newRow("everything") << 1 << true << true << true;
    QTest::newRow("card") << 2 << false << false << true;
}

void tst_localmirror::parts_selectMainCardOrAll()
{
    QFETCH(int, part);
    QFETCH(bool, explorer);
    QFETCH(bool, rootProfile);
    QFETCH(bool, cardProfile);
    const auto reader = attachedReader();
    const LocalMirrorResult result = m_registry->localDBmirror(*reader, part, false);
    QCOMPARE(result.mainCopied, explorer);
    QVERIFY(result.dataChanged);
    const fs::path mirror = m_base / "data/SN-MIRROR/localdbmirror";
    QCOMPARE(fs::exists(mirror / "system/explorer-3/explorer-3.db"), explorer);
    QCOMPARE(fs::exists(mirror / "system/config/books.db"), rootProfile);
    // A card's profiles sit in the same mirror, below their path on the card.
    QCOMPARE(fs::exists(mirror / "system/profiles/Anna/config/books.db"), cardProfile);
}

void tst_localmirror::walCompanion_copiedSoTheMirrorHoldsEveryChange()
{
    const auto reader = attachedReader();
    const fs::path deviceDb = m_base / "mnt/main/system/config/books.db";
    const fs::path mirrorDb = m_base / "data/SN-MIRROR/localdbmirror/system/config/books.db";
    m_registry->localDBmirror(*reader, 0, false);
    QCOMPARE(countRows(mirrorDb, QStringLiteral("Books")), 1);

    // The reader writes in WAL mode; while its connection is open, the newest books live
    // only in the "-wal" file, and the database file itself is not touched.
    fixture::BooksDb device(deviceDb);
    device.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
    device.exec(QStringLiteral("PRAGMA wal_autocheckpoint=0"));
    device.addBook("Only in the log", "C");
    device.addBook("Also only in the log", "D");
    QVERIFY(fs::file_size(sibling(deviceDb, "-wal")) > 0);

    const LocalMirrorResult result = m_registry->localDBmirror(*reader, 0, false);
    QVERIFY(result.dataChanged);
    QVERIFY(fs::exists(sibling(mirrorDb, "-wal")));
    QVERIFY(!fs::exists(sibling(mirrorDb, "-shm")));
    QCOMPARE(countRows(mirrorDb, QStringLiteral("Books")), 3);
}

void tst_localmirror::walCompanion_staleLogsRemovedWhenDeviceHasNone()
{
    const auto reader = attachedReader();
    const fs::path mirrorDb = m_base / "data/SN-MIRROR/localdbmirror/system/config/books.db";
    m_registry->localDBmirror(*reader, 0, false);
    // Leftovers of an older mirror: a log that does not belong to the next copy.
    fixture::ReaderTree mirror(m_base / "data/SN-MIRROR/localdbmirror");
    mirror.addFile("system/config/books.db-wal", QByteArray(4096, 'x'));
    mirror.addFile("system/config/books.db-shm", QByteArray(4096, 'y'));

    fixture::BooksDb(m_base / "mnt/main/system/config/books.db").addBook("Newer", "E");
    const LocalMirrorResult result = m_registry->localDBmirror(*reader, 0, true);
    QVERIFY(result.dataChanged);
    QVERIFY(!fs::exists(sibling(mirrorDb, "-wal")));
    QVERIFY(!fs::exists(sibling(mirrorDb, "-shm")));
    QCOMPARE(countRows(mirrorDb, QStringLiteral("Books")), 2);
}

void tst_localmirror::mirrorFolderCannotBeCreated_copiesNothing()
{
    const auto reader = attachedReader();
    fixture::ReaderTree(m_base).addFile("blocked", "a file where the data directory should be");
    m_globals->setDatadir(m_base / "blocked");
    QTest::ignoreMessage(QtWarningMsg, "Failed creating datadir subfolder");
    QTest::ignoreMessage(QtWarningMsg, "Directory does not exist for localDBmirror");
    const LocalMirrorResult result = m_registry->localDBmirror(*reader, 1, true);
    QVERIFY(!result.mainCopied);
    QVERIFY(!result.dataChanged);
}

void tst_localmirror::changedDevice_mirrorEqualsDevice_data()
{
    QTest::addColumn<int>("change");
    QTest::newRow("database touched an hour into the past") << 0;
    QTest::newRow("same size, older time") << 1;
    QTest::newRow("older database with a newer log") << 2;
}

// Every change is given a time before the last copy, as a FAT volume read in another time
// zone or a reader with a slow clock does.
void tst_localmirror::changedDevice_mirrorEqualsDevice()
{
    QFETCH(int, change);
    const auto reader = attachedReader();
    fixture::ReaderTree device(m_base / "mnt/main");
    const fs::path deviceDb = device.root() / "system/config/books.db";
    const fs::path mirrorDb = m_base / "data/SN-MIRROR/localdbmirror/system/config/books.db";
    // The log lives while the reader's connection is open.
    std::optional<fixture::BooksDb> walConnection;
    if (change == 2) {
        walConnection.emplace(deviceDb);
        walConnection->exec(QStringLiteral("PRAGMA journal_mode=WAL"));
        walConnection->exec(QStringLiteral("PRAGMA wal_autocheckpoint=0"));
        walConnection->addBook("In the log", "C");
    }
    QVERIFY(m_registry->localDBmirror(*reader, 0, false).dataChanged);

    const uintmax_t size = fs::file_size(deviceDb);
    if (change == 0) {
        fixture::BooksDb(deviceDb).addBook("Later", "D");
    } else if (change == 1) {
        fixture::BooksDb(deviceDb).exec(QStringLiteral("UPDATE Tags SET Val = 'Niam book' "
                                                       "WHERE Val = 'Main book'"));
    } else {
        walConnection->exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
        walConnection->addBook("Newer in the log", "E");
    }
    QVERIFY(change != 1 || fs::file_size(deviceDb) == size);
    const auto copied = std::chrono::duration_cast<std::chrono::seconds>(
        fs::last_write_time(mirrorDb).time_since_epoch());
    device.setWriteTime(deviceDb, copied.count() - 3600);

    QVERIFY(m_registry->localDBmirror(*reader, 0, false).dataChanged);
    for (const char *suffix : {"", "-wal"}) {
        QCOMPARE(fs::exists(sibling(mirrorDb, suffix)), fs::exists(sibling(deviceDb, suffix)));
        if (fs::exists(sibling(deviceDb, suffix))) {
            QCOMPARE(testenv::readFile(sibling(mirrorDb, suffix)),
                     testenv::readFile(sibling(deviceDb, suffix)));
            QVERIFY(fs::last_write_time(sibling(mirrorDb, suffix)) ==
                    fs::last_write_time(sibling(deviceDb, suffix)));
        }
    }
    QVERIFY(!fs::exists(sibling(mirrorDb, "-shm")));
    QVERIFY(!m_registry->localDBmirror(*reader, 0, false).dataChanged);
}

void tst_localmirror::interruptedCopy_keepsTheOldMirror()
{
    const auto reader = attachedReader();
    const fs::path deviceDb = m_base / "mnt/main/system/config/books.db";
    const fs::path mirrorDb = m_base / "data/SN-MIRROR/localdbmirror/system/config/books.db";
    m_registry->localDBmirror(*reader, 0, false);
    const QByteArray before = testenv::readFile(mirrorDb);
    {
        fixture::BooksDb db(deviceDb);
        db.transaction([&db] {
            for (int i = 0; i < 100; ++i)
                db.addBook("Grown", std::string(500, 'x'));
        });
    }

    // The disk fills up halfway through the new copy: writes beyond this size fail.
    rlimit previous{};
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &previous), 0);
    const rlimit small{rlim_t(before.size()) + 8192, previous.rlim_max};
    const auto previousHandler = ::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const LocalMirrorResult result = m_registry->localDBmirror(*reader, 0, false);
    ::setrlimit(RLIMIT_FSIZE, &previous);
    ::signal(SIGXFSZ, previousHandler);

    QVERIFY(!result.dataChanged);
    QCOMPARE(testenv::readFile(mirrorDb), before);
    QVERIFY(!fs::exists(sibling(mirrorDb, ".tmp")));
    QVERIFY(m_registry->localDBmirror(*reader, 0, false).dataChanged);
}

void tst_localmirror::mirrorScannedBeforeOrAfterDevice_profileListedOnce_data()
{
    QTest::addColumn<bool>("mirrorFirst");
    QTest::newRow("device, then mirror") << false;
    QTest::newRow("mirror at start-up, then device") << true;
}

void tst_localmirror::mirrorScannedBeforeOrAfterDevice_profileListedOnce()
{
    QFETCH(bool, mirrorFirst);
    const auto reader = attachedReader();
    const fs::path mirror = m_base / "data/SN-MIRROR/localdbmirror";
    m_registry->localDBmirror(*reader, 1, false);
    if (mirrorFirst) {
        reader->profiles.clear();
        reader->processProfiles(mirror, -1);
        reader->processProfiles(m_base / "mnt/main", 0);
        reader->processProfiles(m_base / "mnt/card", 2);
    }
    // Making the local mirror: a copy, then a scan of the mirror folder.
    m_registry->localDBmirror(*reader, 1, false);
    reader->processProfiles(mirror, -1);

    QStringList listed;
    for (const ProfileInfo &profile : reader->profiles) {
        const char *origin = profile.fromMirror ? " mirror" : profile.onCard ? " card" : "";
        listed << QString::fromStdString(profile.name) + QString::fromLatin1(origin);
    }
    listed.sort();
    QCOMPARE(listed, (QStringList{"Anna card", "root", "root mirror"}));
    QVERIFY(reader->profiles.front().fromMirror);
    QVERIFY(m_registry->localDBmirror(*reader, 0, true).dataChanged);
}

QTEST_GUILESS_MAIN(tst_localmirror)
#include "tst_localmirror.moc"
