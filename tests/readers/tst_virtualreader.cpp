// Backups and database files loaded as virtual readers: real archives written by the backup
// run or by libzip, the real registry over a data directory in a temporary folder.

#include "backup/backuprun.h"
#include "core/globalsclass.h"
#include "readers/gui_msgchannel.h"
#include "readers/readerdata.h"
#include "readers/virtualreader.h"
#include "support/fakeplatform.h"
#include "readerfixture/readerfixture.h"

#include <QTemporaryDir>
#include <QtTest>

#include <sched.h>
#include <sys/mount.h>
#include <zip.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

class tst_virtualreader : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_root;
    std::shared_ptr<globalsClass> m_globals;
    std::shared_ptr<gui_msgchannel> m_channel;
    std::shared_ptr<ReaderData> m_registry;

    fs::path dir(const char *relative) const { return fs::path(m_root->path().toStdString()) / relative; }
    fs::path extractionRoot() const { return virtualReadersFolder(m_globals->datadir); }

    // An archive of (entry name, content) pairs written by libzip.
    fs::path writeZip(const char *name, const std::vector<std::pair<std::string, QByteArray>> &entries)
    {
        const fs::path path = dir(name);
        int error = 0;
        zip_t *archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
        for (const auto &[entry, bytes] : entries) {
            // libzip frees the copy with the source.
            void *copy = malloc(size_t(bytes.size()) + 1);
            memcpy(copy, bytes.constData(), size_t(bytes.size()));
            zip_source_t *source = zip_source_buffer(archive, copy, zip_uint64_t(bytes.size()), 1);
            zip_file_add(archive, entry.c_str(), source, ZIP_FL_ENC_UTF_8);
        }
        if (zip_close(archive) != 0)
            qFatal("zip_close failed");
        return path;
    }

    // A backup of a reader whose root profile holds `annotations` annotations, all still in
    // the "-wal" file while the archive is written, and whose card has a profile "Anna".
    fs::path backupWithWalAnnotations(int annotations)
    {
        fixture::ReaderTree tree(dir("mnt/PB"));
        const fs::path explorer = tree.addExplorerDb();
        const fs::path books = tree.addRootProfile();
        fixture::BooksDb db(books);
        db.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
        db.exec(QStringLiteral("PRAGMA wal_autocheckpoint=0"));
        const int64_t book = db.addBook("Title", "Author");
        for (int i = 0; i < annotations; ++i)
            db.addAnnotation(book, {"note", i, 0, 1535639951 + i, "text", "note"});
        DetectionRecord record;
        record.serial = "SN-B";
        Reader reader(record);
        reader.mainpath = tree.root();
        reader.db_main = explorer;
        reader.db_main_relative = explorer.lexically_relative(tree.root());
        reader.processProfiles(tree.root(), 0);
        fixture::ReaderTree card(dir("mnt/CARD"));
        card.addProfile("Anna");
        reader.cardpath = card.root();
        reader.processProfiles(card.root(), 2);
        BackupRequest request;
        request.sources = backupSources(reader, BackupCategory::databases);
        request.archive = dir("backup.zip");
        const std::atomic<bool> cancel{false};
        if (runBackup(request, cancel).outcome != BackupResult::finished)
            qFatal("backup failed");
        return request.archive;
    }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init()
    {
        m_root = std::make_unique<QTemporaryDir>();
        m_globals = std::make_shared<globalsClass>(false, m_root->path().toStdString(),
                                                   dir("data").string(), dir("share"), dir("config"));
        m_channel = std::make_shared<gui_msgchannel>();
        m_registry = std::make_shared<ReaderData>(
            m_channel, m_globals, false,
            makeFakePlatform(std::make_shared<FakeBlockDevices>(), std::make_shared<FakeMounts>()));
    }

    void cleanup()
    {
        m_registry.reset();
        m_root.reset();
    }

    void backup_annotationsInWal_allShown()
    {
        const fs::path archive = backupWithWalAnnotations(7);
        QVERIFY(ScanOk(archive, "A"));
        const auto reader = m_registry->findReader("A");
        QCOMPARE(reader->profiles.size(), size_t(2));
        QVERIFY(!reader->profiles[0].onCard && reader->profiles[1].onCard);
        QCOMPARE(reader->profiles[1].name, std::string("Anna"));
        QVERIFY(reader->getAnnotations(0));
        QCOMPARE(reader->annotations.size(), size_t(7));
        QVERIFY(!reader->vdbpath.empty());
    }

    void refused_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("reason");
        QTest::newRow("parent") << "databases/../../OTHER/localdbmirror/books.db" << "unsafe path";
        QTest::newRow("absolute") << "/EVIL/books.db" << "unsafe path";
        QTest::newRow("system up") << "system/../../.." << "unsafe path";
        QTest::newRow("no databases") << "files_main/readme.txt" << "no reader databases";
        QTest::newRow("text as zip") << "" << "ZIP Archive open failed";
        QTest::newRow("extension") << "" << "Unknown extension";
    }

    void refused()
    {
        QFETCH(QString, file);
        QFETCH(QString, reason);
        fs::path path;
        if (QTest::currentDataTag() == QByteArray("text as zip")) {
            path = fixture::ReaderTree(dir("in")).addFile("notes.zip", "just text");
        } else if (QTest::currentDataTag() == QByteArray("extension")) {
            path = fixture::ReaderTree(dir("in")).addFile("notes.rar", "x");
        } else if (QTest::currentDataTag() == QByteArray("no databases")) {
            path = writeZip("plain.zip", {{file.toStdString(), "text"}});
        } else {
            path = writeZip("hostile.zip", {{"databases/system/config/books.db", "db"},
                                            {file.toStdString(), "overwritten"}});
        }
        std::string why;
        QVERIFY(!m_registry->ScanDBfile(path, "S", "", true, false, 0, &why));
        QVERIFY2(QString::fromStdString(why).contains(reason), why.c_str());
        QVERIFY(m_registry->readers.empty());
        QVERIFY(!fs::exists(dir("OTHER")) && !fs::exists("/EVIL"));
        QVERIFY(!fs::exists(extractionRoot() / "S"));
    }

    // The data directory on a 64 KiB file system of its own (a private mount namespace, so
    // nothing outside this test process sees it): a larger archive is refused before any
    // byte is written.
    void largerThanFreeSpace_refusedBeforeWriting()
    {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            QSKIP("needs a private mount namespace (root)");
        const fs::path archive = writeZip("big.zip", {{"databases/system/config/books.db",
                                                        QByteArray(256 * 1024, 'x')}});
        fs::create_directories(extractionRoot());
        QCOMPARE(::mount("tmpfs", extractionRoot().c_str(), "tmpfs", 0, "size=64k"), 0);
        std::string why;
        const bool loaded = m_registry->ScanDBfile(archive, "BIG", "", true, false, 0, &why);
        const bool extracted = fs::exists(extractionRoot() / "BIG");
        ::umount2(extractionRoot().c_str(), MNT_DETACH);
        QVERIFY(!loaded);
        QVERIFY2(QString::fromStdString(why).contains(QStringLiteral("Not enough free space")),
                 why.c_str());
        QVERIFY(!extracted);
        QVERIFY(m_registry->readers.empty());
    }

    void twoLoadsInOneSecond_twoReaders()
    {
        const fs::path archive = backupWithWalAnnotations(1);
        const std::string first = m_registry->newVirtualSerial();
        QVERIFY(ScanOk(archive, first));
        const std::string second = m_registry->newVirtualSerial();
        QVERIFY(first != second);
        QVERIFY(ScanOk(archive, second));
        QCOMPARE(m_registry->readers.size(), size_t(2));
        QVERIFY(m_registry->findReader(first)->mainpath != m_registry->findReader(second)->mainpath);
    }

    void profileDbFile_shownAsProfile()
    {
        fixture::ReaderTree copy(dir("copy"));
        fixture::BooksDb db(copy.root() / "books.db");
        db.addAnnotation(db.addBook("Title", "Author"));
        QVERIFY(ScanOk(db.path(), "P"));
        const auto reader = m_registry->findReader("P");
        QVERIFY(reader->getAnnotations(0));
        QCOMPARE(reader->annotations.size(), size_t(1));
    }

    // The window's side of a rescan is in the registry test; here the files go with the reader.
    void loadRescanRemove_copiesGoWithTheReader()
    {
        QVERIFY(ScanOk(backupWithWalAnnotations(1), "V"));
        const fs::path folder = m_registry->findReader("V")->mainpath;
        m_registry->device_scan(false);
        QCOMPARE(m_registry->readers.size(), size_t(1));
        m_registry->removeReader("V", {}, false);
        QVERIFY(m_registry->readers.empty());
        QVERIFY(!fs::exists(folder));
    }

    void startUp_removesFoldersOfUnknownReaders()
    {
        fixture::ReaderTree(extractionRoot() / "OLD").addFile("system/config/books.db", "x");
        m_registry->device_scan(true);
        QVERIFY(!fs::exists(extractionRoot() / "OLD"));
    }

private:
    bool ScanOk(const fs::path &path, const std::string &serial)
    {
        std::string why;
        const bool ok = m_registry->ScanDBfile(path, serial, "Backup", true, false, 0, &why);
        if (!ok)
            qWarning() << "load failed:" << QString::fromStdString(why);
        return ok;
    }
};

QTEST_GUILESS_MAIN(tst_virtualreader)
#include "tst_virtualreader.moc"
