#include "database/dbdiscovery.h"

#include "core/textconv.h"
#include "readerfixture/readerfixture.h"
#include "support/testenv.h"
#include "support/testhelpers.h"

#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QTest>

namespace fs = std::filesystem;
using fixture::ExplorerLayout;
using testhelpers::BrokenDb;

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

    void findExplorerDb_prefersVersion3ThenItsOwnFolder()
    {
        using L = ExplorerLayout;
        fixture::ReaderTree tree = newTree();
        tree.addDirectory("system/explorer-3"); // an empty folder is no database
        QCOMPARE(findExplorerDb(tree.root()).version, 0);
        // Each layout added takes the place of the ones before it.
        for (const L layout : {L::InSystem2, L::OwnFolder2, L::InSystem3, L::OwnFolder3}) {
            tree.addExplorerDb(layout);
            const ExplorerDbInfo found = findExplorerDb(tree.root());
            QCOMPARE(found.path, tree.root() / fixture::explorerRelativePath(layout));
            QCOMPARE(found.version, layout == L::InSystem2 || layout == L::OwnFolder2 ? 2 : 3);
        }
        // A folder that links to itself fails every lookup below it.
        fixture::ReaderTree looped = newTree();
        fs::create_symlink("explorer-3", looped.addDirectory("system") / "explorer-3");
        QVERIFY(findExplorerDb(looped.root()).path.empty());
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
        QVERIFY(main[0].directory == root.parent_path() && main[0].dbPath == root);
        QVERIFY(card[0].directory == anna.parent_path().parent_path());
        QCOMPARE(toQString(main[0].dbPathRelative) + ' ' + toQString(card[0].dbPathRelative),
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
        device.addEmptyFile("system/profiles/Empty/config/books.db");
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

    void scanProfiles_nothingUsable_noCrash()
    {
        fixture::ReaderTree tree = newTree();
        tree.addExplorerDb();
        std::vector<ProfileInfo> profiles;
        // A profile folder that links to itself fails every lookup below it.
        const fs::path loop = tree.addDirectory("system/profiles") / "Anna";
        fs::create_symlink(loop.filename(), loop);
        QCOMPARE(scanProfiles(tree.root(), 2, profiles), 0);
        QVERIFY(profiles.empty());
    }

    void queryProfileIds_rowsOrNoneUntouched()
    {
        const fixture::ProfileRows rows{{1, "default"}, {2, "Anna"}, {7, "J\u00fcrgen \U0001F600"}};
        fixture::ReaderTree tree = newTree();
        const fs::path good = tree.addExplorerDb(ExplorerLayout::InSystem3, rows);
        const fs::path missing = tree.root() / "system/explorer-2.db";
        const fs::path broken = tree.root() / "system/explorer-3/explorer-3.db";
        testhelpers::writeBrokenDatabase(broken, BrokenDb::NotSqlite);
        const QByteArray bytes = testenv::readFile(broken);
        for (const fs::path &db : {good, missing, broken}) {
            const testhelpers::LogRecorder log; // also Qt's "connection is still in use"
            QVERIFY(queryProfileIds(db) == (db == good ? rows : fixture::ProfileRows{}));
            QCOMPARE(log.warnings().isEmpty(), db == good); // a broken file is reported
        }
        // Read-only opens create nothing and change nothing.
        QVERIFY(!fs::exists(missing));
        QCOMPARE(testenv::readFile(broken), bytes);
    }
};

QTEST_GUILESS_MAIN(tst_dbdiscovery)
#include "tst_dbdiscovery.moc"
