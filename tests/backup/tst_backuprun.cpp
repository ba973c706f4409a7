// The manual backup run on reader trees on disk (main memory and card), read back with
// libzip: entry names and order, compression, flags, comment, report, cancel and failures.

#include "backup/backuprun.h"
#include "readerfixture/readerfixture.h"
#include "readers/reader.h"
#include "support/testenv.h"
#include "support/zipinspect.h"

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <zip.h>

#include <filesystem>
#include <map>
#include <memory>
#include <set>

namespace fs = std::filesystem;

namespace {

// Root reads through any permission bits. Dropping the two capabilities that allow it from
// this thread's effective set (threads started later inherit it) makes a mode 000 folder
// unreadable for root too; the destructor takes them back.
class PermissionsEnforced
{
public:
    PermissionsEnforced()
    {
        syscall(SYS_capget, &m_header, m_saved);
        __user_cap_data_struct reduced[2] = {m_saved[0], m_saved[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        syscall(SYS_capset, &m_header, reduced);
    }
    ~PermissionsEnforced() { syscall(SYS_capset, &m_header, m_saved); }
    PermissionsEnforced(const PermissionsEnforced &) = delete;
    PermissionsEnforced &operator=(const PermissionsEnforced &) = delete;

private:
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_saved[2]{};
};

struct ArchiveEntry
{
    std::string name;
    int method;
    int levelBits;
    bool utf8;
};

std::vector<ArchiveEntry> readEntries(const fs::path &archive, std::string *comment = nullptr)
{
    std::vector<ArchiveEntry> entries;
    int error = 0;
    zip_t *zip = zip_open(archive.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
    if (zip == nullptr)
        return entries;
    const QList<zipinspect::CentralEntry> central = zipinspect::centralDirectory(archive);
    for (zip_int64_t i = 0; i < zip_get_num_entries(zip, 0); ++i) {
        zip_stat_t stat;
        zip_stat_index(zip, zip_uint64_t(i), 0, &stat);
        const quint16 flags = central.value(int(i)).flags;
        entries.push_back({stat.name, int(stat.comp_method), (flags >> 1) & 3, (flags & 0x800) != 0});
    }
    if (comment) {
        int length = 0;
        const char *text = zip_get_archive_comment(zip, &length, ZIP_FL_ENC_RAW);
        *comment = text ? std::string(text, size_t(length)) : std::string();
    }
    zip_discard(zip);
    return entries;
}

// Top-level folders in archive order (the databases of both memories come first, in profile
// order), with whether their files are deflated.
const std::vector<std::pair<std::string, bool>> parts = {
    {"databases", true}, {"dicts", false}, {"dicts_card", false}, {"apps", true},
    {"fonts", true}, {"files_main", false}, {"files_card", false}};

size_t partRank(const std::string &name)
{
    std::string top = name.substr(0, name.find('/'));
    top = top == "databases_card" ? "databases" : top;
    return size_t(std::find_if(parts.begin(), parts.end(), [&](const auto &p) { return p.first == top; }) -
                  parts.begin());
}

} // namespace

class tst_backuprun : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init();
    void cleanup();

    void fullBackup_entriesCompressionFlagsAndComment();
    void unreadableAndSpecialEntries_listedWhileTheRestIsArchived();
    void verify_reportsEveryMismatchOfTheWrittenArchive();
    void archiveName_cLocaleMonthAndSanitisedLabel_data();
    void archiveName_cLocaleMonthAndSanitisedLabel();
    void comment_tenFieldsWithinLimit_data();
    void comment_tenFieldsWithinLimit();
    void destination_onReaderVolumes_data();
    void destination_onReaderVolumes();
    void fatLimit_onlyForFatAtFourGiB();

private:
    fs::path base() const { return fs::path(m_dir->path().toStdString()); }
    BackupRequest requestAll() const;
    BackupResult run(const BackupRequest &request) const
    {
        std::atomic<bool> cancel{false};
        return runBackup(request, cancel);
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::shared_ptr<Reader> m_reader;
};

void tst_backuprun::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    fixture::ReaderTree main(base() / "main");
    main.addExplorerDb();
    const fs::path rootDb = main.addRootProfile();
    main.addFile(rootDb.lexically_relative(main.root()).string() + "-wal", QByteArray(3000, 'w'));
    main.addFile("system/dictionaries/en.dic", "main dictionary");
    main.addFile("system/dictionaries/Wörterbuch.dic", "umlaut");
    main.addFile("system/fonts/Serif.ttf", QByteArray(5000, 'f'));
    main.addFile("applications/tool.app", "app");
    main.addFile("Books/Dune.epub", QByteArray(2 * 1024 * 1024, 'b'));
    main.addFile("Books/Notes/n.txt", "note");
    fixture::ReaderTree card(base() / "card");
    card.addProfile("Anna");
    card.addFile("system/dictionaries/en.dic", "card dictionary");
    card.addFile("card.pdf", "pdf");
    fs::create_directories(base() / "out");

    DetectionRecord record;
    record.serial = "SN-BACKUP";
    record.name = "PB632";
    m_reader = std::make_shared<Reader>(record);
    m_reader->name = "PB632";
    m_reader->mainpath = main.root();
    m_reader->cardpath = card.root();
    m_reader->db_main = m_reader->get_db_main(main.root()).path;
    m_reader->db_main_relative = m_reader->db_main.lexically_relative(main.root());
    m_reader->processProfiles(main.root(), 0);
    m_reader->processProfiles(card.root(), 2);
}

void tst_backuprun::cleanup()
{
    m_reader.reset();
    m_dir.reset();
}

BackupRequest tst_backuprun::requestAll() const
{
    BackupRequest request;
    for (int part = 0; part < backupCategoryCount; ++part) {
        const auto sources = backupSources(*m_reader, BackupCategory(part));
        request.sources.insert(request.sources.end(), sources.begin(), sources.end());
    }
    request.skipNames = backupSkipNames(vendor_pocketbook);
    request.archive = base() / "out/backup.zip";
    request.comment = "Marlox;1.0;1;0;0;0;0;SN-BACKUP;PB632;label";
    return request;
}

void tst_backuprun::fullBackup_entriesCompressionFlagsAndComment()
{
    const BackupResult result = run(requestAll());
    QCOMPARE(result.outcome, BackupResult::finished);
    QVERIFY(result.failed.empty());
    std::string comment;
    const std::vector<ArchiveEntry> entries = readEntries(base() / "out/backup.zip", &comment);
    QCOMPARE(comment, std::string("Marlox;1.0;1;0;0;0;0;SN-BACKUP;PB632;label"));

    std::vector<std::string> names = {"databases/system/explorer-3/explorer-3.db"};
    for (const ProfileInfo &profile : m_reader->profiles) {
        names.push_back((profile.onCard ? "databases_card/" : "databases/") +
                        profile.dbPathRelative.generic_string());
        if (!profile.onCard)
            names.push_back(names.back() + "-wal");
    }
    for (size_t i = 0; i < names.size(); ++i)
        QCOMPARE(entries.at(i).name, names[i]);
    // Within a folder the order is the file system's; parts and parents are in ours.
    std::set<std::string> expected(names.begin(), names.end());
    expected.insert({"dicts/system/dictionaries/en.dic", "dicts/system/dictionaries/Wörterbuch.dic",
                     "dicts_card/system/dictionaries/en.dic", "apps/applications/tool.app",
                     "fonts/system/fonts/Serif.ttf", "files_main/Books/", "files_main/Books/Dune.epub",
                     "files_main/Books/Notes/", "files_main/Books/Notes/n.txt", "files_card/card.pdf"});
    std::set<std::string> seen;
    size_t lastRank = 0;
    for (const ArchiveEntry &entry : entries) {
        const std::string &name = entry.name;
        QVERIFY2(partRank(name) >= lastRank, name.c_str());
        lastRank = partRank(name);
        const std::string parent = fs::path(name.substr(0, name.size() - 1)).parent_path().generic_string() + "/";
        if (parent.rfind("files_main/Books/", 0) == 0)
            QVERIFY2(seen.count(parent), name.c_str());
        seen.insert(name);
        const bool deflate = name.back() != '/' && parts.at(partRank(name)).second;
        QCOMPARE(entry.method, deflate ? ZIP_CM_DEFLATE : ZIP_CM_STORE);
        QCOMPARE(entry.levelBits, deflate ? 2 : 0); // 2: "fast", level 1
        // libzip marks only names that need it; every name we store is UTF-8.
        QCOMPARE(entry.utf8, name.find("ö") != std::string::npos);
    }
    QCOMPARE(seen, expected);
    QCOMPARE(entries.size(), expected.size());
    QCOMPARE(result.copied.size(), expected.size());
}

void tst_backuprun::unreadableAndSpecialEntries_listedWhileTheRestIsArchived()
{
    const fs::path books = m_reader->mainpath / "Books";
    fixture::ReaderTree(m_reader->mainpath).addFile("Books/Locked/secret.epub", "s");
    QCOMPARE(::mkfifo((books / "pipe").c_str(), 0600), 0);
    fs::create_symlink(books / "Dune.epub", books / "link.epub");
    ::chmod((books / "Locked").c_str(), 0);
    BackupRequest request = requestAll();
    request.sources.push_back({base() / "gone.db", "databases/gone.db", true});

    BackupResult result;
    {
        PermissionsEnforced enforced;
        result = run(request);
    }
    ::chmod((books / "Locked").c_str(), 0700);
    QCOMPARE(result.outcome, BackupResult::finished);
    const std::set<std::string> failed(result.failed.begin(), result.failed.end());
    QCOMPARE(failed.size(), size_t(2));
    QVERIFY(failed.count((books / "Locked").string() + ": Permission denied"));
    QVERIFY(failed.count((base() / "gone.db").string() + ": does not exist"));
    const std::set<std::string> skipped(result.skipped.begin(), result.skipped.end());
    QCOMPARE(skipped, (std::set<std::string>{(books / "pipe").string(), (books / "link.epub").string()}));
    // Everything else went in, the walk went on past the locked folder.
    const std::vector<ArchiveEntry> entries = readEntries(base() / "out/backup.zip");
    QCOMPARE(entries.size(), size_t(14));
    QCOMPARE(result.copied.size(), size_t(14));
}

void tst_backuprun::verify_reportsEveryMismatchOfTheWrittenArchive()
{
    const BackupRequest request = requestAll();
    const BackupResult result = run(request);
    QCOMPARE(result.outcome, BackupResult::finished);
    const int64_t count = int64_t(result.copied.size());
    QVERIFY(verifyBackupArchive(request.archive, count, request.comment, {0, 1, 2, 3}).empty());

    QCOMPARE(verifyBackupArchive(request.archive, count + 1, request.comment, {}).size(), size_t(1));
    QCOMPARE(verifyBackupArchive(request.archive, count, "other", {}).size(), size_t(1));
    // A damaged byte inside the first database's data: its CRC (or inflate) fails on reading.
    QByteArray bytes = testenv::readFile(request.archive);
    bytes[300] = char(bytes[300] ^ 0x55);
    QVERIFY(testenv::writeFile(request.archive, bytes));
    const std::vector<std::string> problems =
        verifyBackupArchive(request.archive, count, request.comment, {0, 1});
    QCOMPARE(problems.size(), size_t(1));
    QVERIFY2(problems[0].find("databases/system/explorer-3/explorer-3.db") != std::string::npos,
             problems[0].c_str());
}

void tst_backuprun::archiveName_cLocaleMonthAndSanitisedLabel_data()
{
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("name");
    QTest::newRow("no label") << "" << "backup_manual-SN1---2026Dec06_1430.zip";
    QTest::newRow("spaces and signs") << " Firmware 6.8! " << "backup_manual-SN1---2026Dec06_1430-Firmware_6_8_.zip";
    QTest::newRow("letters of any script") << "Büro/ü" << "backup_manual-SN1---2026Dec06_1430-Büro_ü.zip";
}

void tst_backuprun::archiveName_cLocaleMonthAndSanitisedLabel()
{
    QFETCH(QString, label);
    QFETCH(QString, name);
    std::tm local{};
    local.tm_year = 126;
    local.tm_mon = 11;
    local.tm_mday = 6;
    local.tm_hour = 14;
    local.tm_min = 30;
    local.tm_isdst = -1;
    const std::time_t when = std::mktime(&local);
    const std::string clean = sanitisedBackupLabel(label.toStdString());
    QCOMPARE(QString::fromStdString(backupArchiveName("SN1", when, clean)), name);
}

void tst_backuprun::comment_tenFieldsWithinLimit_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("label");
    QTest::addColumn<QByteArray>("expected"); // empty: only the length and field checks
    QTest::newRow("plain") << QByteArray("PB632") << QByteArray("Firmware 6.8! ")
                           << QByteArray("Marlox;0.9.8.2;1;0;0;0;0;SN1;PB632;Firmware 6.8! ");
    QTest::newRow("separators and controls") << QByteArray("a;b") << QByteArray("x\ty;z")
                                             << QByteArray("Marlox;0.9.8.2;1;0;0;0;0;SN1;a_b;x_y_z");
    QTest::newRow("long umlauts") << QByteArray("Ä").repeated(100) << QByteArray("ö").repeated(50)
                                  << QByteArray();
}

void tst_backuprun::comment_tenFieldsWithinLimit()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, label);
    QFETCH(QByteArray, expected);
    const std::string comment =
        backupComment("0.9.8.2", 1, "SN1", name.toStdString(), label.toStdString());
    if (!expected.isEmpty())
        QCOMPARE(QByteArray::fromStdString(comment), expected);
    QVERIFY(comment.size() <= 249);
    QCOMPARE(std::count(comment.begin(), comment.end(), ';'), 9L);
    QVERIFY(QString::fromUtf8(comment.data(), int(comment.size())).toUtf8() ==
            QByteArray::fromStdString(comment)); // no character split
    // libzip takes it: the comment reaches the archive.
    BackupRequest request = requestAll();
    request.comment = comment;
    QCOMPARE(run(request).outcome, BackupResult::finished);
    std::string stored;
    readEntries(request.archive, &stored);
    QCOMPARE(stored, comment);
}

void tst_backuprun::destination_onReaderVolumes_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<bool>("onReader");
    QTest::newRow("main root") << "main" << true;
    QTest::newRow("through a link") << "linked/Books" << true;
    QTest::newRow("beside the reader") << "out" << false;
    QTest::newRow("name starting like the mount") << "main2" << false;
}

void tst_backuprun::destination_onReaderVolumes()
{
    QFETCH(QString, folder);
    QFETCH(bool, onReader);
    fs::create_directories(base() / "main2");
    fs::create_directory_symlink(base() / "main", base() / "linked");
    QCOMPARE(backupDestinationOnReader(base() / folder.toStdString(), *m_reader), onReader);
}

void tst_backuprun::fatLimit_onlyForFatAtFourGiB()
{
    QVERIFY(!backupExceedsFatLimit((uint64_t(1) << 32) - 1, 0x4d44));
    QVERIFY(backupExceedsFatLimit(uint64_t(1) << 32, 0x4d44));
    QVERIFY(!backupExceedsFatLimit(uint64_t(1) << 40, 0xEF53)); // ext4
}

QTEST_GUILESS_MAIN(tst_backuprun)
#include "tst_backuprun.moc"
