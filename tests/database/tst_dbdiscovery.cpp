#include "database/dbdiscovery.h"

#include "core/textconv.h"
#include "readerfixture/readerfixture.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;
using fixture::ExplorerLayout;

Q_DECLARE_METATYPE(ExplorerLayout)

namespace {

using ProfileIds = std::vector<std::pair<int, std::string>>;

QStringList names(const std::vector<ProfileInfo> &profiles)
{
    QStringList result;
    for (const ProfileInfo &profile : profiles)
        result.append(toQString(profile.name));
    return result;
}

void expectWarning(const QString &pattern)
{
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(pattern));
}

// A missing books.db is reported by the size lookup before discovery refuses it.
void expectNoFileSize(bool missing)
{
    if (missing)
        expectWarning(QStringLiteral("^getFileSizeWriteTime failed"));
    expectWarning(QStringLiteral("^Not adding profile DB: received no filesize$"));
}

// Collects warnings while alive: QTest::ignoreMessage cannot assert that none came.
class WarningRecorder
{
public:
    WarningRecorder()
        : m_previous(qInstallMessageHandler(&WarningRecorder::record))
    {
        s_warnings.clear();
    }
    ~WarningRecorder() { qInstallMessageHandler(m_previous); }
    WarningRecorder(const WarningRecorder &) = delete;
    WarningRecorder &operator=(const WarningRecorder &) = delete;

    QStringList warnings() const { return s_warnings; }

private:
    static void record(QtMsgType type, const QMessageLogContext &, const QString &text)
    {
        if (type != QtDebugMsg && type != QtInfoMsg)
            s_warnings.append(text);
    }

    inline static QStringList s_warnings;
    QtMessageHandler m_previous;
};

// Gives a folder its permissions back, so that QTemporaryDir can remove it.
class PermissionRestorer
{
public:
    explicit PermissionRestorer(fs::path folder)
        : m_folder(std::move(folder))
    {}
    ~PermissionRestorer() { ::chmod(m_folder.c_str(), 0755); }
    PermissionRestorer(const PermissionRestorer &) = delete;
    PermissionRestorer &operator=(const PermissionRestorer &) = delete;

private:
    fs::path m_folder;
};

} // namespace

class tst_dbdiscovery : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void findExplorerDb_searchOrder_data();
    void findExplorerDb_searchOrder();
    void findExplorerDb_statFails_logsAndFindsNone();

    void scanProfiles_mode_data();
    void scanProfiles_mode();
    void scanProfiles_order_mirrorFirstThenNewest();
    void scanProfiles_dotFoldersAndFiles_skipped();
    void scanProfiles_noUsableDb_notAdded_data();
    void scanProfiles_noUsableDb_notAdded();
    void scanProfiles_noProfileFolders_warnsNeither();
    void scanProfiles_twice_oneRecordPerNameNoChange();
    void scanProfiles_newerWrite_refreshesAndResorts();
    void scanProfiles_mirrorRescan_refreshesOnlyTheMirrorRecord();
    void scanProfiles_sameNameOnCard_keepsBoth();
    void scanProfiles_fileSystemError_caught_data();
    void scanProfiles_fileSystemError_caught();
    void scanProfiles_unreadableProfilesFolder_caught();
    void scanProfiles_nonAsciiNames_kept();

    void queryProfileIds_explorerDb_rowsInQueryOrder();
    void queryProfileIds_unusableFile_emptyAndUntouched_data();
    void queryProfileIds_unusableFile_emptyAndUntouched();

    void readerFixture_annotation_storedInDeviceFormat();

private:
    QTemporaryDir m_tmp;
    int m_mounts = 0;
    fixture::ReaderTree newTree();
};

fixture::ReaderTree tst_dbdiscovery::newTree()
{
    return fixture::ReaderTree(toPath(m_tmp.path()) / ("mount" + std::to_string(++m_mounts)));
}

void tst_dbdiscovery::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(m_tmp.isValid());
}

void tst_dbdiscovery::findExplorerDb_searchOrder_data()
{
    QTest::addColumn<QList<ExplorerLayout>>("present");
    QTest::addColumn<QString>("expected"); // relative to the mount; empty: none
    QTest::addColumn<int>("version");

    using L = ExplorerLayout;
    QTest::newRow("none") << QList<L>{} << QString() << 0;
    QTest::newRow("own folder 3") << QList<L>{L::OwnFolder3}
                                  << QStringLiteral("system/explorer-3/explorer-3.db") << 3;
    QTest::newRow("in system 3") << QList<L>{L::InSystem3} << QStringLiteral("system/explorer-3.db")
                                 << 3;
    QTest::newRow("own folder 2") << QList<L>{L::OwnFolder2}
                                  << QStringLiteral("system/explorer-2/explorer-2.db") << 2;
    QTest::newRow("in system 2") << QList<L>{L::InSystem2} << QStringLiteral("system/explorer-2.db")
                                 << 2;
    QTest::newRow("own folder before system")
        << QList<L>{L::InSystem3, L::OwnFolder3}
        << QStringLiteral("system/explorer-3/explorer-3.db") << 3;
    QTest::newRow("own folder before system, 2")
        << QList<L>{L::InSystem2, L::OwnFolder2}
        << QStringLiteral("system/explorer-2/explorer-2.db") << 2;
    QTest::newRow("3 in system before 2 in own folder")
        << QList<L>{L::OwnFolder2, L::InSystem3} << QStringLiteral("system/explorer-3.db") << 3;
    QTest::newRow("all four") << QList<L>{L::InSystem2, L::OwnFolder2, L::InSystem3, L::OwnFolder3}
                              << QStringLiteral("system/explorer-3/explorer-3.db") << 3;
}

void tst_dbdiscovery::findExplorerDb_searchOrder()
{
    QFETCH(QList<ExplorerLayout>, present);
    QFETCH(QString, expected);
    QFETCH(int, version);

    fixture::ReaderTree tree = newTree();
    // An empty explorer-3 folder must not count as a database.
    tree.addDirectory("system/explorer-3");
    for (const ExplorerLayout layout : present)
        tree.addExplorerDb(layout);

    const fs::path expectedPath = expected.isEmpty() ? fs::path() : tree.root() / toPath(expected);
    if (!expected.isEmpty())
        QTest::ignoreMessage(
            QtDebugMsg, (QStringLiteral("Found explorerDB: ") + toQString(expectedPath)).toUtf8());

    const ExplorerDbInfo found = findExplorerDb(tree.root());
    QCOMPARE(toQString(found.path), toQString(expectedPath));
    QCOMPARE(int(found.version), version);
}

void tst_dbdiscovery::findExplorerDb_statFails_logsAndFindsNone()
{
    fixture::ReaderTree tree = newTree();
    tree.addDirectory("system");
    // A folder that links to itself: every lookup below it fails with ELOOP, also as root.
    fs::create_symlink("explorer-3", tree.root() / "system" / "explorer-3");

    expectWarning(QStringLiteral("^! Failed checking for db main: .*explorer-3"));
    const ExplorerDbInfo found = findExplorerDb(tree.root());
    QVERIFY(found.path.empty());
    QCOMPARE(int(found.version), 0);
}

void tst_dbdiscovery::scanProfiles_mode_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("directory");
    QTest::addColumn<QString>("db");
    QTest::addColumn<bool>("fromMirror");
    QTest::addColumn<bool>("onCard");

    QTest::newRow("main memory: root wins")
        << 0 << QStringLiteral("root") << QStringLiteral("system/config")
        << QStringLiteral("system/config/books.db") << false << false;
    QTest::newRow("card: never root")
        << 2 << QStringLiteral("Anna") << QStringLiteral("system/profiles/Anna")
        << QStringLiteral("system/profiles/Anna/config/books.db") << false << true;
    QTest::newRow("mirror folder")
        << -1 << QStringLiteral("root") << QStringLiteral("system/config")
        << QStringLiteral("system/config/books.db") << true << false;
}

void tst_dbdiscovery::scanProfiles_mode()
{
    QFETCH(int, mode);
    QFETCH(QString, name);
    QFETCH(QString, directory);
    QFETCH(QString, db);
    QFETCH(bool, fromMirror);
    QFETCH(bool, onCard);

    fixture::ReaderTree tree = newTree();
    tree.setWriteTime(tree.addRootProfile(), 1600000000);
    tree.setWriteTime(tree.addProfile("Anna"), 1600000000);
    const fs::path dbPath = tree.root() / toPath(db);

    std::vector<ProfileInfo> profiles;
    QCOMPARE(scanProfiles(tree.root(), mode, profiles), 1);

    QCOMPARE(names(profiles), QStringList{name});
    const ProfileInfo &profile = profiles.front();
    QCOMPARE(toQString(profile.directory), toQString(tree.root() / toPath(directory)));
    QCOMPARE(toQString(profile.dbPath), toQString(dbPath));
    QCOMPARE(toQString(profile.dbPathRelative), db);
    QCOMPARE(profile.fromMirror, fromMirror);
    QCOMPARE(profile.onCard, onCard);
    QCOMPARE(profile.writeTime, int64_t{1600000000});
    QCOMPARE(profile.size, static_cast<int64_t>(fs::file_size(dbPath)));
}

void tst_dbdiscovery::scanProfiles_order_mirrorFirstThenNewest()
{
    fixture::ReaderTree device = newTree();
    device.setWriteTime(device.addProfile("A"), 1000);
    device.setWriteTime(device.addProfile("B"), 3000);
    device.setWriteTime(device.addProfile("C"), 2000);
    fixture::ReaderTree mirrorOld = newTree();
    mirrorOld.setWriteTime(mirrorOld.addProfile("OldMirror"), 500);
    fixture::ReaderTree mirrorNew = newTree();
    mirrorNew.setWriteTime(mirrorNew.addProfile("NewMirror"), 4000);

    std::vector<ProfileInfo> profiles;
    QCOMPARE(scanProfiles(device.root(), 0, profiles), 3);
    QCOMPARE(names(profiles), (QStringList{"B", "C", "A"}));

    QCOMPARE(scanProfiles(mirrorOld.root(), -1, profiles), 1);
    QCOMPARE(names(profiles), (QStringList{"OldMirror", "B", "C", "A"}));

    QCOMPARE(scanProfiles(mirrorNew.root(), -1, profiles), 1);
    QCOMPARE(names(profiles), (QStringList{"NewMirror", "OldMirror", "B", "C", "A"}));
}

void tst_dbdiscovery::scanProfiles_dotFoldersAndFiles_skipped()
{
    fixture::ReaderTree tree = newTree();
    tree.addProfile(".hidden");
    tree.addFile("system/profiles/notes.txt", "not a profile");
    tree.addProfile("Anna");

    QTest::ignoreMessage(QtDebugMsg,
                         QRegularExpression(QStringLiteral(
                             "^Skipping profilepath: \".*/system/profiles/\\.hidden\"$")));
    QTest::ignoreMessage(QtDebugMsg,
                         QRegularExpression(QStringLiteral(
                             "^Skipping profilepath: \".*/system/profiles/notes\\.txt\"$")));
    std::vector<ProfileInfo> profiles;
    QCOMPARE(scanProfiles(tree.root(), 2, profiles), 1);
    QCOMPARE(names(profiles), QStringList{"Anna"});
}

void tst_dbdiscovery::scanProfiles_noUsableDb_notAdded_data()
{
    QTest::addColumn<QString>("file"); // books.db to create empty; empty: none at all
    QTest::addColumn<QString>("folder");
    QTest::addColumn<int>("mode");

    QTest::newRow("profile without books.db")
        << QString() << QStringLiteral("system/profiles/Anna/config") << 2;
    QTest::newRow("profile with empty books.db")
        << QStringLiteral("system/profiles/Anna/config/books.db") << QString() << 2;
    // The root profile ends the scan even when its database is unusable.
    QTest::newRow("root with empty books.db, named profile beside it")
        << QStringLiteral("system/config/books.db") << QString() << 0;
}

void tst_dbdiscovery::scanProfiles_noUsableDb_notAdded()
{
    QFETCH(QString, file);
    QFETCH(QString, folder);
    QFETCH(int, mode);

    fixture::ReaderTree tree = newTree();
    if (!file.isEmpty())
        tree.addEmptyFile(toPath(file));
    if (!folder.isEmpty())
        tree.addDirectory(toPath(folder));
    if (mode == 0)
        tree.addProfile("Anna");

    expectNoFileSize(file.isEmpty());
    expectWarning(QStringLiteral("^Found no profile databases$"));
    std::vector<ProfileInfo> profiles;
    QCOMPARE(scanProfiles(tree.root(), mode, profiles), 0);
    QVERIFY(profiles.empty());
}

void tst_dbdiscovery::scanProfiles_noProfileFolders_warnsNeither()
{
    fixture::ReaderTree tree = newTree();
    tree.addExplorerDb();

    expectWarning(QStringLiteral("^Neither root/profile paths found\\.\\.\\. \".*\" 0$"));
    std::vector<ProfileInfo> profiles;
    QCOMPARE(scanProfiles(tree.root(), 0, profiles), 0);
    QVERIFY(profiles.empty());
}

void tst_dbdiscovery::scanProfiles_twice_oneRecordPerNameNoChange()
{
    fixture::ReaderTree tree = newTree();
    tree.setWriteTime(tree.addProfile("Anna"), 1000);
    tree.setWriteTime(tree.addProfile("Bert"), 2000);

    std::vector<ProfileInfo> profiles;
    QCOMPARE(scanProfiles(tree.root(), 2, profiles), 2);
    QCOMPARE(scanProfiles(tree.root(), 2, profiles), 0);
    QCOMPARE(names(profiles), (QStringList{"Bert", "Anna"}));
}

void tst_dbdiscovery::scanProfiles_newerWrite_refreshesAndResorts()
{
    fixture::ReaderTree tree = newTree();
    const fs::path anna = tree.addProfile("Anna");
    const fs::path bert = tree.addProfile("Bert");
    tree.setWriteTime(anna, 1000);
    tree.setWriteTime(bert, 2000);
    std::vector<ProfileInfo> profiles;
    QCOMPARE(scanProfiles(tree.root(), 2, profiles), 2);
    QCOMPARE(names(profiles), (QStringList{"Bert", "Anna"}));

    fixture::BooksDb(anna).addBook("Emma", "Jane Austen");
    tree.setWriteTime(anna, 3000);
    QCOMPARE(scanProfiles(tree.root(), 2, profiles), 1);
    QCOMPARE(names(profiles), (QStringList{"Anna", "Bert"}));
    QCOMPARE(profiles.front().writeTime, int64_t{3000});
    QCOMPARE(profiles.front().size, static_cast<int64_t>(fs::file_size(anna)));

    // An older time (a restored copy) is not a refresh.
    tree.setWriteTime(bert, 1500);
    QCOMPARE(scanProfiles(tree.root(), 2, profiles), 0);
    QCOMPARE(profiles.back().writeTime, int64_t{2000});
}

void tst_dbdiscovery::scanProfiles_mirrorRescan_refreshesOnlyTheMirrorRecord()
{
    fixture::ReaderTree device = newTree();
    fixture::ReaderTree mirror = newTree();
    device.setWriteTime(device.addProfile("Anna"), 1000);
    mirror.setWriteTime(mirror.addProfile("Anna"), 1000);

    std::vector<ProfileInfo> profiles;
    QCOMPARE(scanProfiles(device.root(), 0, profiles), 1);
    QCOMPARE(scanProfiles(mirror.root(), -1, profiles), 1);

    // The mirror's record comes first; the device's stays for the mirror to copy from.
    QCOMPARE(names(profiles), (QStringList{"Anna", "Anna"}));
    QVERIFY(profiles.front().fromMirror);
    QCOMPARE(toQString(profiles.front().dbPath),
             toQString(mirror.root() / "system/profiles/Anna/config/books.db"));

    // Every "make local mirror" rescans the mirror: it must not add the profile again.
    QCOMPARE(scanProfiles(mirror.root(), -1, profiles), 0);
    mirror.setWriteTime(mirror.root() / "system/profiles/Anna/config/books.db", 2000);
    QCOMPARE(scanProfiles(mirror.root(), -1, profiles), 1);
    QCOMPARE(names(profiles), (QStringList{"Anna", "Anna"}));
    QCOMPARE(profiles.front().writeTime, 2000);
}

void tst_dbdiscovery::scanProfiles_sameNameOnCard_keepsBoth()
{
    fixture::ReaderTree main = newTree();
    fixture::ReaderTree card = newTree();
    main.setWriteTime(main.addProfile("Anna"), 1000);
    card.setWriteTime(card.addProfile("Anna"), 2000);

    std::vector<ProfileInfo> profiles;
    QCOMPARE(scanProfiles(main.root(), 0, profiles), 1);
    QCOMPARE(scanProfiles(card.root(), 2, profiles), 1);
    QCOMPARE(names(profiles), (QStringList{"Anna", "Anna"}));
    QVERIFY(profiles[0].onCard);
    QVERIFY(!profiles[1].onCard);
    // Rescanning either volume refreshes only its own record.
    QCOMPARE(scanProfiles(main.root(), 0, profiles), 0);
    QCOMPARE(scanProfiles(card.root(), 2, profiles), 0);
    QCOMPARE(profiles.size(), size_t(2));
}

void tst_dbdiscovery::scanProfiles_fileSystemError_caught_data()
{
    QTest::addColumn<QString>("loop"); // a symlink to itself; empty: system/profiles is a file
    QTest::newRow("profiles is a file") << QString();
    QTest::newRow("profiles links to itself") << QStringLiteral("system/profiles");
    QTest::newRow("profile entry links to itself") << QStringLiteral("system/profiles/Anna");
}

void tst_dbdiscovery::scanProfiles_fileSystemError_caught()
{
    QFETCH(QString, loop);

    fixture::ReaderTree tree = newTree();
    if (loop.isEmpty()) {
        tree.addFile("system/profiles", "not a folder");
    } else {
        const fs::path link = tree.root() / toPath(loop);
        fs::create_directories(link.parent_path());
        fs::create_symlink(link.filename(), link);
    }

    expectWarning(QStringLiteral("^Checking profile path existence failed\\. Likely device is not "
                                 "fully mounted: increase mountdelay\\? \".+\"$"));
    expectWarning(QStringLiteral("^Found no profile databases$"));
    std::vector<ProfileInfo> profiles;
    QCOMPARE(scanProfiles(tree.root(), 2, profiles), 0);
    QVERIFY(profiles.empty());
}

void tst_dbdiscovery::scanProfiles_unreadableProfilesFolder_caught()
{
    if (::geteuid() == 0)
        QSKIP("root reads every folder regardless of its permissions");

    fixture::ReaderTree tree = newTree();
    tree.addProfile("Anna");
    const fs::path folder = tree.root() / "system" / "profiles";
    const PermissionRestorer restore(folder);
    QCOMPARE(::chmod(folder.c_str(), 0), 0);

    expectWarning(QStringLiteral("^Checking profile path existence failed\\."));
    expectWarning(QStringLiteral("^Found no profile databases$"));
    std::vector<ProfileInfo> profiles;
    QCOMPARE(scanProfiles(tree.root(), 2, profiles), 0);
    QVERIFY(profiles.empty());
}

void tst_dbdiscovery::scanProfiles_nonAsciiNames_kept()
{
    fixture::ReaderTree tree = newTree();
    tree.setWriteTime(tree.addProfile("Jürgen"), 3000);
    tree.setWriteTime(tree.addProfile("日本語"), 2000);
    tree.setWriteTime(tree.addProfile("😀 Lesen"), 1000);

    std::vector<ProfileInfo> profiles;
    QCOMPARE(scanProfiles(tree.root(), 2, profiles), 3);
    QCOMPARE(names(profiles), (QStringList{QStringLiteral("Jürgen"), QStringLiteral("日本語"),
                                           QStringLiteral("😀 Lesen")}));
    QCOMPARE(toQString(profiles.front().dbPathRelative),
             QStringLiteral("system/profiles/Jürgen/config/books.db"));
    QVERIFY(fs::exists(profiles.front().dbPath));
}

void tst_dbdiscovery::queryProfileIds_explorerDb_rowsInQueryOrder()
{
    fixture::ReaderTree tree = newTree();
    const ProfileIds rows{{1, "default"}, {2, "Anna"}, {7, "Jürgen 😀"}};
    const fs::path db = tree.addExplorerDb(ExplorerLayout::OwnFolder3, rows);

    const WarningRecorder recorder;
    const ProfileIds found = queryProfileIds(db);
    QVERIFY(found == rows);
    // Also catches Qt's "connection is still in use" from a leaked handle.
    QCOMPARE(recorder.warnings(), QStringList());
    QVERIFY(!QSqlDatabase::contains(QStringLiteral("profilequery")));
}

void tst_dbdiscovery::queryProfileIds_unusableFile_emptyAndUntouched_data()
{
    QTest::addColumn<QString>(
        "content"); // "missing", "table" (a database without profiles), or bytes
    QTest::addColumn<QString>("warning");

    QTest::newRow("missing file") << QStringLiteral("missing") << QStringLiteral("^ERROR: ");
    QTest::newRow("not SQLite") << QStringLiteral("These are not the pages of a database.\n")
                                << QStringLiteral("^Query exec ERROR: ");
    QTest::newRow("empty file") << QString() << QStringLiteral("^Query exec ERROR: .*profiles");
    QTest::newRow("no profiles table")
        << QStringLiteral("table") << QStringLiteral("^Query exec ERROR: .*profiles");
}

void tst_dbdiscovery::queryProfileIds_unusableFile_emptyAndUntouched()
{
    QFETCH(QString, content);
    QFETCH(QString, warning);

    fixture::ReaderTree tree = newTree();
    // The folder exists, so only the read-only open keeps SQLite from creating the file.
    tree.addDirectory("system");
    const fs::path db = tree.root() / "system" / "explorer-3.db";
    if (content == QLatin1String("table")) {
        fixture::SqliteFile(db).exec(QStringLiteral("CREATE TABLE books_impl (id INTEGER)"));
    } else if (content != QLatin1String("missing")) {
        tree.addFile("system/explorer-3.db", content.toUtf8());
    }
    const bool existed = fs::exists(db);
    const auto sizeBefore = existed ? fs::file_size(db) : 0;

    expectWarning(warning);
    QVERIFY(queryProfileIds(db).empty());
    QVERIFY(!QSqlDatabase::contains(QStringLiteral("profilequery")));
    QCOMPARE(fs::exists(db), existed);
    if (existed)
        QCOMPARE(fs::file_size(db), sizeBefore);
}

// Every later suite reads these rows through the device queries; their format must hold.
void tst_dbdiscovery::readerFixture_annotation_storedInDeviceFormat()
{
    const fs::path path = toPath(m_tmp.path()) / "fixturecheck" / "books.db";
    const QString text = QStringLiteral("He said \"hi\"\u2029and left 😀");
    int64_t book = 0;
    int64_t note = 0;
    int64_t bookmark = 0;
    {
        fixture::BooksDb db(path);
        book = db.addBook("Emma", "Jane Austen");
        note = db.addAnnotation(book, {"note", 4, 17, 1535639951, text.toStdString(), "Mine"});
        bookmark = db.addAnnotation(book, {"bookmark", 0, 0, 1, "Bookmark", "", "", 2});
    }

    QMap<QPair<qlonglong, int>, QString> tags;
    QMap<qlonglong, QPair<QVariant, int>> items; // OID → (ParentID, State)
    QString booksTitle;
    {
        QSqlDatabase db =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("check"));
        db.setDatabaseName(toQString(path));
        QVERIFY(db.open());
        QSqlQuery query(db);
        QVERIFY(query.exec(QStringLiteral("SELECT ItemID, TagID, Val FROM Tags")));
        while (query.next())
            tags.insert({query.value(0).toLongLong(), query.value(1).toInt()},
                        query.value(2).toString());
        QVERIFY(query.exec(QStringLiteral("SELECT OID, ParentID, State FROM Items")));
        while (query.next())
            items.insert(query.value(0).toLongLong(), {query.value(1), query.value(2).toInt()});
        QVERIFY(query.exec(QStringLiteral("SELECT Title FROM Books WHERE OID = %1").arg(book)));
        QVERIFY(query.next());
        booksTitle = query.value(0).toString();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("check"));

    const auto json = [&tags](int64_t item, int tag) {
        return QJsonDocument::fromJson(tags.value({item, tag}).toUtf8()).object();
    };
    QVERIFY(items.value(book).first.isNull());
    QCOMPARE(booksTitle, QStringLiteral("Emma"));
    QCOMPARE(tags.value({book, 34}), QStringLiteral("Emma"));
    QCOMPARE(tags.value({book, 16}), QStringLiteral("Jane Austen"));

    QCOMPARE(items.value(note).first.toLongLong(), qlonglong{book});
    QCOMPARE(items.value(note).second, 0);
    QVERIFY(json(note, 101)
                .value(QStringLiteral("anchor"))
                .toString()
                .startsWith(QStringLiteral("pbr:/word?page=4&offs=17#")));
    QCOMPARE(json(note, 101).value(QStringLiteral("created")).toVariant().toLongLong(),
             qlonglong{1535639951});
    QCOMPARE(tags.value({note, 102}), QStringLiteral("note"));
    QCOMPARE(json(note, 104).value(QStringLiteral("text")).toString(), text);
    QCOMPARE(json(note, 105).value(QStringLiteral("text")).toString(), QStringLiteral("Mine"));
    QCOMPARE(tags.value({note, 106}), QStringLiteral("yellow"));

    QCOMPARE(items.value(bookmark).second, 2);
    QCOMPARE(tags.value({bookmark, 104}), QStringLiteral("{\"text\":\"Bookmark\"}"));
    QVERIFY(!tags.contains({bookmark, 105}));
    QVERIFY(!tags.contains({bookmark, 106}));
}

QTEST_GUILESS_MAIN(tst_dbdiscovery)
#include "tst_dbdiscovery.moc"
