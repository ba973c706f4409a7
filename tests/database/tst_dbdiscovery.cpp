#include "database/dbdiscovery.h"

#include "core/textconv.h"
#include "readerfixture/readerfixture.h"
#include "support/testenv.h"
#include "support/testhelpers.h"

#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using fixture::ExplorerLayout;
using testhelpers::BrokenDb;

Q_DECLARE_METATYPE(ExplorerLayout)

namespace {

// Name, write time and where each profile was found, in the list's order.
QStringList summary(const std::vector<ProfileInfo> &profiles)
{
    QStringList result;
    for (const ProfileInfo &p : profiles)
        result << QStringLiteral("%1 %2%3%4")
                      .arg(toQString(p.name))
                      .arg(p.writeTime)
                      .arg(p.onCard ? " card" : "", p.fromMirror ? " mirror" : "");
    return result;
}

} // namespace

class tst_dbdiscovery : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;
    int m_mounts = 0;

    fixture::ReaderTree newTree()
    {
        return fixture::ReaderTree(toPath(m_tmp.path()) / ("mount" + std::to_string(++m_mounts)));
    }

private slots:
    void cleanup()
    {
        // Every query removes its connection again.
        QVERIFY(QSqlDatabase::connectionNames().isEmpty());
    }

    void findExplorerDb_searchOrder_data()
    {
        QTest::addColumn<QList<ExplorerLayout>>("present");
        QTest::addColumn<QString>("expected"); // relative to the mount; empty: none
        using L = ExplorerLayout;
        QTest::newRow("none") << QList<L>{} << QString();
        QTest::newRow("in system 2") << QList<L>{L::InSystem2} << "system/explorer-2.db";
        QTest::newRow("own folder before system")
            << QList<L>{L::InSystem2, L::OwnFolder2} << "system/explorer-2/explorer-2.db";
        QTest::newRow("3 in system before 2 in own folder")
            << QList<L>{L::OwnFolder2, L::InSystem3} << "system/explorer-3.db";
        QTest::newRow("all four") << QList<L>{L::InSystem2, L::OwnFolder2, L::InSystem3,
                                              L::OwnFolder3}
                                  << "system/explorer-3/explorer-3.db";
    }

    void findExplorerDb_searchOrder()
    {
        QFETCH(QList<ExplorerLayout>, present);
        QFETCH(QString, expected);
        fixture::ReaderTree tree = newTree();
        tree.addDirectory("system/explorer-3"); // an empty folder is no database
        for (const ExplorerLayout layout : present)
            tree.addExplorerDb(layout);
        const ExplorerDbInfo found = findExplorerDb(tree.root());
        QCOMPARE(toQString(found.path),
                 expected.isEmpty() ? QString() : toQString(tree.root() / toPath(expected)));
        // explorer-N.db is of version N; none is 0.
        QCOMPARE(int(found.version), expected.mid(expected.lastIndexOf('-') + 1, 1).toInt());
    }

    void findExplorerDb_statFails_findsNone()
    {
        fixture::ReaderTree tree = newTree();
        tree.addDirectory("system");
        // A folder that links to itself: every lookup below it fails, also as root.
        fs::create_symlink("explorer-3", tree.root() / "system" / "explorer-3");
        QCOMPARE(toQString(findExplorerDb(tree.root()).path), QString());
    }

    void scanProfiles_rootProfileFirst_neverOnCard()
    {
        fixture::ReaderTree tree = newTree();
        const fs::path root = tree.addRootProfile(), anna = tree.addProfile("Anna");
        tree.setWriteTime(root, 1000);
        tree.setWriteTime(anna, 2000);
        std::vector<ProfileInfo> main, card, mirror;
        QCOMPARE(scanProfiles(tree.root(), 0, main), 1);
        QCOMPARE(scanProfiles(tree.root(), 2, card), 1);
        QCOMPARE(scanProfiles(tree.root(), -1, mirror), 1);
        QCOMPARE(summary(main) + summary(card) + summary(mirror),
                 (QStringList{"root 1000", "Anna 2000 card", "root 1000 mirror"}));
        const ProfileInfo &r = main.front(), &a = card.front();
        QVERIFY(r.directory == root.parent_path() && r.dbPath == root &&
                r.size == int64_t(fs::file_size(root)));
        QVERIFY(a.directory == anna.parent_path().parent_path());
        QCOMPARE(toQString(r.dbPathRelative) + ' ' + toQString(a.dbPathRelative),
                 QStringLiteral("system/config/books.db system/profiles/Anna/config/books.db"));
    }

    void scanProfiles_orderAndRescans()
    {
        fixture::ReaderTree device = newTree(), mirror = newTree(), card = newTree();
        device.setWriteTime(device.addProfile("J\u00fcrgen"), 1000);
        device.setWriteTime(device.addProfile("\u65e5\u672c"), 3000);
        const fs::path anna = device.addProfile("Anna");
        device.setWriteTime(anna, 2000);
        device.addProfile(".hidden");
        device.addFile("system/profiles/notes.txt", "not a profile");
        mirror.setWriteTime(mirror.addProfile("Anna"), 5000);
        card.setWriteTime(card.addProfile("Anna"), 4000);

        std::vector<ProfileInfo> profiles;
        QCOMPARE(scanProfiles(device.root(), 0, profiles), 3);
        QCOMPARE(summary(profiles),
                 (QStringList{"\u65e5\u672c 3000", "Anna 2000", "J\u00fcrgen 1000"}));
        QCOMPARE(scanProfiles(device.root(), 0, profiles), 0); // nothing new, nothing doubled
        // A newer write refreshes and re-sorts; an older time (a restored copy) does not.
        fixture::BooksDb(anna).addBook("Emma", "Jane Austen");
        device.setWriteTime(anna, 5000);
        device.setWriteTime(device.root() / "system/profiles/J\u00fcrgen/config/books.db", 10);
        QCOMPARE(scanProfiles(device.root(), 0, profiles), 1);
        QCOMPARE(summary(profiles),
                 (QStringList{"Anna 5000", "\u65e5\u672c 3000", "J\u00fcrgen 1000"}));
        QCOMPARE(profiles[0].size, static_cast<int64_t>(fs::file_size(anna)));
        // The mirror's record comes first and the device's stays for the mirror to copy
        // from; every "make local mirror" rescans it without adding the profile again. The
        // same name on the card is a profile of its own.
        QCOMPARE(scanProfiles(mirror.root(), -1, profiles), 1);
        QCOMPARE(scanProfiles(mirror.root(), -1, profiles), 0);
        QCOMPARE(scanProfiles(device.root(), 0, profiles), 0);
        QCOMPARE(scanProfiles(card.root(), 2, profiles), 1);
        QCOMPARE(summary(profiles), (QStringList{"Anna 5000 mirror", "Anna 5000", "Anna 4000 card",
                                                 "\u65e5\u672c 3000", "J\u00fcrgen 1000"}));
        QCOMPARE(toQString(profiles.front().dbPath),
                 toQString(mirror.root() / "system/profiles/Anna/config/books.db"));
    }

    void scanProfiles_nothingUsable_data()
    {
        QTest::addColumn<QString>("file"); // written empty; empty: none
        QTest::addColumn<QString>("loop"); // a symlink to itself
        QTest::addColumn<int>("mode");
        QTest::newRow("no profile folders") << QString() << QString() << 2;
        QTest::newRow("profile without books.db")
            << "system/profiles/Anna/config/x" << QString() << 2;
        QTest::newRow("empty books.db") << "system/profiles/Anna/config/books.db" << QString() << 2;
        // The root profile ends the scan even when its database is unusable.
        QTest::newRow("root with empty books.db") << "system/config/books.db" << QString() << 0;
        QTest::newRow("profiles is a file") << "system/profiles" << QString() << 2;
        QTest::newRow("profiles links to itself") << QString() << "system/profiles" << 2;
        QTest::newRow("profile links to itself") << QString() << "system/profiles/Anna" << 2;
    }

    void scanProfiles_nothingUsable()
    {
        QFETCH(QString, file);
        QFETCH(QString, loop);
        QFETCH(int, mode);
        fixture::ReaderTree tree = newTree();
        tree.addExplorerDb();
        if (!file.isEmpty())
            tree.addEmptyFile(toPath(file));
        if (!loop.isEmpty()) {
            const fs::path link = tree.root() / toPath(loop);
            fs::create_directories(link.parent_path());
            fs::create_symlink(link.filename(), link);
        }
        if (mode == 0)
            tree.addProfile("Anna");
        std::vector<ProfileInfo> profiles;
        QCOMPARE(scanProfiles(tree.root(), mode, profiles), 0);
        QVERIFY(profiles.empty());
    }

    void scanProfiles_unreadableProfilesFolder_caught()
    {
        if (::geteuid() == 0)
            QSKIP("root reads every folder regardless of its permissions");
        fixture::ReaderTree tree = newTree();
        tree.addProfile("Anna");
        const fs::path folder = tree.root() / "system" / "profiles";
        const testhelpers::PermissionRestorer restore(folder);
        QCOMPARE(::chmod(folder.c_str(), 0), 0);
        std::vector<ProfileInfo> profiles;
        QCOMPARE(scanProfiles(tree.root(), 2, profiles), 0);
    }

    void queryProfileIds_rowsOrNoneUntouched_data()
    {
        QTest::addColumn<int>("kind"); // a BrokenDb, or -1: a database with three profiles
        QTest::newRow("three profiles") << -1;
        QTest::newRow("missing") << int(BrokenDb::Missing);
        QTest::newRow("not SQLite") << int(BrokenDb::NotSqlite);
        QTest::newRow("no profiles table") << int(BrokenDb::Empty);
    }

    void queryProfileIds_rowsOrNoneUntouched()
    {
        QFETCH(int, kind);
        const fixture::ProfileRows rows{{1, "default"}, {2, "Anna"}, {7, "J\u00fcrgen \U0001F600"}};
        fixture::ReaderTree tree = newTree();
        const fs::path db = tree.root() / "system" / "explorer-3.db";
        if (kind < 0)
            tree.addExplorerDb(ExplorerLayout::InSystem3, rows);
        else
            testhelpers::writeBrokenDatabase(db, BrokenDb(kind)); // the folder is there anyway
        const QByteArray bytes = testenv::readFile(db);
        const testhelpers::LogRecorder log; // also Qt's "connection is still in use"
        QVERIFY(queryProfileIds(db) == (kind < 0 ? rows : fixture::ProfileRows{}));
        QCOMPARE(log.warnings().isEmpty(), kind < 0);             // a broken file is reported
        QCOMPARE(fs::exists(db), kind != int(BrokenDb::Missing)); // read-only opens create nothing
        QCOMPARE(testenv::readFile(db), bytes);
    }
};

QTEST_GUILESS_MAIN(tst_dbdiscovery)
#include "tst_dbdiscovery.moc"
