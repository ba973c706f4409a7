// The manual backup run on reader trees on disk (main memory and card), read back with
// libzip: entry names and order, comment, cancel, failures and where it may be written.

#include "backup/backuprun.h"
#include "readerfixture/readerfixture.h"
#include "readers/reader.h"
#include "support/testenv.h"
#include "support/testhelpers.h"

#include <QTemporaryDir>
#include <QtTest>

#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <zip.h>

#include <filesystem>
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

private:
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_saved[2]{};
};

// Each entry's name, in archive order; the archive comment last.
QStringList readArchive(const fs::path &archive)
{
    QStringList lines;
    zip_t *zip = zip_open(archive.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, nullptr);
    if (zip == nullptr)
        return lines;
    for (zip_int64_t i = 0; i < zip_get_num_entries(zip, 0); ++i)
        lines << QString::fromUtf8(zip_get_name(zip, zip_uint64_t(i), 0));
    int length = 0;
    const char *comment = zip_get_archive_comment(zip, &length, ZIP_FL_ENC_RAW);
    lines << QString::fromUtf8(comment, length);
    zip_discard(zip);
    return lines;
}

} // namespace

class tst_backuprun : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::shared_ptr<Reader> m_reader;

    fs::path base() const { return fs::path(m_dir->path().toStdString()); }
    BackupRequest requestAll() const
    {
        BackupRequest request;
        for (int part = 0; part < backupCategoryCount; ++part) {
            const auto sources = backupSources(*m_reader, BackupCategory(part));
            request.sources.insert(request.sources.end(), sources.begin(), sources.end());
        }
        request.skipNames = backupSkipNames(vendor_pocketbook);
        request.archive = base() / "out/backup.zip";
        request.comment = backupComment("1.0", 1, "SN1", "a;b" + std::string(200, 'x'),
                                        "x\ty;z" + QByteArray("ö").repeated(100).toStdString());
        return request;
    }

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        fixture::ReaderTree main(base() / "main");
        main.addExplorerDb();
        main.addRootProfile();
        main.addFile("system/config/books.db-wal", QByteArray(3000, 'w'));
        main.addFile("system/dictionaries/Wörterbuch.dic", "main dictionary");
        main.addFile("system/fonts/Serif.ttf", QByteArray(5000, 'f'));
        main.addFile("applications/tool.app", "app");
        main.addFile("Books/Dune.epub", QByteArray(2 * 1024 * 1024, 'b'));
        fixture::ReaderTree card(base() / "card");
        card.addProfile("Anna");
        card.addFile("system/dictionaries/Wörterbuch.dic", "card dictionary");
        card.addFile("card.pdf", "pdf");
        fs::create_directories(base() / "out");
        m_reader = std::make_shared<Reader>(DetectionRecord{});
        m_reader->mainpath = main.root();
        m_reader->cardpath = card.root();
        m_reader->db_main = m_reader->get_db_main(main.root()).path;
        m_reader->db_main_relative = m_reader->db_main.lexically_relative(main.root());
        m_reader->processProfiles(main.root(), 0);
        m_reader->processProfiles(card.root(), 2);
    }

    void fullBackup_entriesCommentAndFailures()
    {
        // An unreadable folder, a pipe, a link and a missing database are listed; the walk
        // goes on past them.
        const fs::path books = m_reader->mainpath / "Books";
        testenv::writeFile(books / "Locked/secret.epub", "s");
        QCOMPARE(::mkfifo((books / "pipe").c_str(), 0600), 0);
        fs::create_symlink(books / "Dune.epub", books / "link.epub");
        ::chmod((books / "Locked").c_str(), 0);
        BackupRequest request = requestAll();
        request.sources.push_back({base() / "gone.db", "databases/gone.db", true});
        BackupResult result;
        {
            PermissionsEnforced enforced;
            std::atomic<bool> cancel{false};
            result = runBackup(request, cancel);
        }
        ::chmod((books / "Locked").c_str(), 0700);
        QCOMPARE(result.outcome, BackupResult::finished);
        QCOMPARE(std::set<std::string>(result.failed.begin(), result.failed.end()),
                 (std::set<std::string>{(books / "Locked").string() + ": Permission denied",
                                        (base() / "gone.db").string() + ": does not exist"}));
        QCOMPARE(
            std::set<std::string>(result.skipped.begin(), result.skipped.end()),
            (std::set<std::string>{(books / "pipe").string(), (books / "link.epub").string()}));
        QStringList entries = readArchive(request.archive);
        // Ten fields, separators and controls as "_", cut within 249 bytes at a character's
        // boundary.
        QCOMPARE(entries.takeLast(),
                 QString::fromUtf8("Marlox;1.0;1;0;0;0;0;SN1;a_b" + QByteArray(200, 'x') +
                                   ";x_y_z" + QByteArray("ö").repeated(7)));
        // Databases first in profile order, then the parts in this order, a folder before what
        // it holds.
        QCOMPARE(entries, (QStringList{"databases/system/explorer-3/explorer-3.db",
                                       "databases/system/config/books.db",
                                       "databases/system/config/books.db-wal",
                                       "databases_card/system/profiles/Anna/config/books.db",
                                       "dicts/system/dictionaries/Wörterbuch.dic",
                                       "dicts_card/system/dictionaries/Wörterbuch.dic",
                                       "apps/applications/tool.app", "fonts/system/fonts/Serif.ttf",
                                       "files_main/Books/", "files_main/Books/Dune.epub",
                                       "files_card/card.pdf"}));
        QCOMPARE(result.copied.size(), size_t(entries.size()));

        // Verifying the archive finds a damaged byte inside the first database's data (its
        // CRC or inflate fails on reading).
        const auto count = int64_t(result.copied.size());
        QVERIFY(verifyBackupArchive(request.archive, count, request.comment, {0, 1, 2, 3}).empty());
        QByteArray bytes = testenv::readFile(request.archive);
        bytes[300] = char(bytes[300] ^ 0x55);
        QVERIFY(testenv::writeFile(request.archive, bytes));
        const std::vector<std::string> problems =
            verifyBackupArchive(request.archive, count, request.comment, {0, 1});
        QCOMPARE(problems.size(), size_t(1));
        QVERIFY2(problems[0].find("databases/system/explorer-3/explorer-3.db") != std::string::npos,
                 problems[0].c_str());
    }

    void stopped_archiveOnDiskOnlyWhenFinished_data()
    {
        QTest::addColumn<double>("cancelAt"); // above 1: no cancel, a book vanishes instead
        QTest::addColumn<int>("outcome");
        QTest::newRow("cancel midway") << 0.5 << int(BackupResult::cancelled);
        QTest::newRow("cancel after the last byte") << 1.0 << int(BackupResult::finished);
        QTest::newRow("book removed while archiving") << 2.0 << int(BackupResult::writeFailed);
    }
    void stopped_archiveOnDiskOnlyWhenFinished()
    {
        QFETCH(double, cancelAt);
        QFETCH(int, outcome);
        const fs::path book = m_reader->mainpath / "Books/Dune.epub";
        std::atomic<bool> cancel{false};
        BackupRequest request = requestAll();
        request.progress = [&](double fraction) {
            if (cancelAt > 1)
                fs::remove(book);
            else if (fraction >= cancelAt)
                cancel = true;
        };
        const BackupResult result = runBackup(request, cancel);
        QCOMPARE(int(result.outcome), outcome);
        const bool written = outcome == BackupResult::finished;
        QCOMPARE(result.archiveExists, written);
        QCOMPARE(testhelpers::folderEntries(base() / "out"),
                 written ? QStringList{"backup.zip"} : QStringList());
        // A failed run names the file that went missing.
        QCOMPARE(result.error.find(book.string()) != std::string::npos, cancelAt > 1);
    }

    void destination_onReaderVolumes()
    {
        fs::create_directories(base() / "main2");
        fs::create_directory_symlink(base() / "main", base() / "linked");
        QVERIFY(backupDestinationOnReader(base() / "main", *m_reader));
        QVERIFY(backupDestinationOnReader(base() / "linked/Books", *m_reader));
        QVERIFY(!backupDestinationOnReader(base() / "out", *m_reader));
        QVERIFY(!backupDestinationOnReader(base() / "main2", *m_reader)); // a name like the mount
    }
};

QTEST_GUILESS_MAIN(tst_backuprun)
#include "tst_backuprun.moc"
