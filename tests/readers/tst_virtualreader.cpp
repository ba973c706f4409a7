// Backups and database files loaded as virtual readers: real archives written by the backup
// run or by libzip, the real registry over a data directory in a temporary folder.

#include "backup/backuprun.h"
#include "core/globalsclass.h"
#include "readers/readerdata.h"
#include "readers/virtualreader.h"
#include "support/registryrig.h"
#include "support/testhelpers.h"

#include <QtTest>

#include <sched.h>
#include <sys/mount.h>

#include <filesystem>

namespace fs = std::filesystem;

class tst_virtualreader : public QObject
{
    Q_OBJECT

    std::unique_ptr<RegistryRig> rig;

    fs::path extractionRoot() const { return virtualReadersFolder(rig->globals->datadir); }

    // An archive whose entries all hold `bytes`.
    fs::path writeZip(const QString &name, const QStringList &entries, const QByteArray &bytes)
    {
        const fs::path path = rig->at(name.toStdString());
        testhelpers::ZipEntries all;
        for (const QString &entry : entries)
            all.emplace_back(entry.toStdString(), bytes);
        if (!testhelpers::writeZip(path, all))
            qFatal("could not write %s", path.c_str());
        return path;
    }

    // A backup of a reader whose root profile holds seven annotations, all still in the "-wal"
    // file while the archive is written, and whose card has a profile "Anna".
    fs::path backupWithWalAnnotations()
    {
        const fixture::ReaderTree tree = rig->mainMemory("mnt/PB");
        fixture::BooksDb db(tree.root() / "system/config/books.db");
        db.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
        db.exec(QStringLiteral("PRAGMA wal_autocheckpoint=0"));
        const int64_t book = db.addBook("Title", "Author");
        for (int i = 0; i < 7; ++i)
            db.addAnnotation(book, {"note", i, 0, 1535639951 + i, "text", "note"});
        fixture::ReaderTree card(rig->at("mnt/CARD"));
        card.addProfile("Anna");
        Reader reader(DetectionRecord{});
        reader.mainpath = tree.root();
        reader.db_main = reader.get_db_main(tree.root()).path;
        reader.db_main_relative = reader.db_main.lexically_relative(tree.root());
        reader.cardpath = card.root();
        reader.processProfiles(tree.root(), 0);
        reader.processProfiles(card.root(), 2);
        BackupRequest request;
        request.sources = backupSources(reader, BackupCategory::databases);
        request.archive = rig->at("backup.zip");
        const std::atomic<bool> cancel{false};
        if (runBackup(request, cancel).outcome != BackupResult::finished)
            qFatal("backup failed");
        return request.archive;
    }

    // Loads a file as a reader: empty when it loaded, else why not.
    QString load(const fs::path &path, const std::string &serial)
    {
        std::string why;
        if (rig->registry->ScanDBfile(path, serial, "Backup", true, false, 0, &why))
            return {};
        return why.empty() ? QStringLiteral("failed") : QString::fromStdString(why);
    }

private slots:
    void init() { rig = std::make_unique<RegistryRig>(); }
    void cleanup() { rig.reset(); }

    // Two loads of one backup in the same second are two readers for this run: never in the
    // preferences, a rescan keeps them, and a removal reaches the window and takes the
    // extracted copies with it.
    void backup_loadedTwice_everythingShown_copiesGoWithTheReader()
    {
        const fs::path archive = backupWithWalAnnotations();
        const std::string first = rig->registry->newVirtualSerial();
        QCOMPARE(load(archive, first), QString());
        const std::string second = rig->registry->newVirtualSerial();
        QCOMPARE(load(archive, second), QString());
        auto reader = rig->registry->findReader(first);
        QVERIFY(reader->profiles.size() == 2 && reader->profiles[1].onCard);
        QVERIFY(reader->getAnnotations(0));
        QCOMPARE(reader->annotations.size(), size_t(7));

        const QString a = QString::fromStdString(first), b = QString::fromStdString(second);
        QCOMPARE(rig->take(), (QStringList{"main " + a + " Backup virtual=1 synced=0",
                                           "main " + b + " Backup virtual=1 synced=0"}));

        const fs::path folder = reader->mainpath;
        reader.reset(); // the copies stay while anyone holds the reader
        rig->registry->device_scan(false);
        QCOMPARE(rig->registry->readers.size(), size_t(2));
        QVERIFY(rig->take().isEmpty());
        rig->registry->removeReader(first, {}, false);
        QCOMPARE(rig->take(), QStringList{"remove " + a + " Backup mirror=0"});
        QVERIFY(!fs::exists(folder) && fs::exists(rig->registry->findReader(second)->mainpath));
    }

    void refused_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QStringList>("entries"); // beside a database; none: the file is text
        QTest::addColumn<QString>("reason");
        const QString db = QStringLiteral("databases/system/config/books.db");
        QTest::newRow("parent") << "a.zip"
                                << QStringList{db, "databases/../../OTHER/localdbmirror/books.db"}
                                << "unsafe path";
        QTest::newRow("absolute") << "a.zip" << QStringList{db, "/EVIL/books.db"} << "unsafe path";
        QTest::newRow("no databases")
            << "a.zip" << QStringList{"files_main/readme.txt"} << "no reader databases";
        QTest::newRow("text as zip") << "a.zip" << QStringList{} << "ZIP Archive open failed";
        QTest::newRow("extension") << "a.rar" << QStringList{} << "Unknown extension";
    }

    void refused()
    {
        QFETCH(QString, file);
        QFETCH(QStringList, entries);
        QFETCH(QString, reason);
        const fs::path path =
            entries.isEmpty()
                ? fixture::ReaderTree(rig->at("in")).addFile(file.toStdString(), "just text")
                : writeZip(file, entries, "overwritten");
        const QString why = load(path, "S");
        QVERIFY2(why.contains(reason), qPrintable(why));
        QVERIFY(rig->registry->readers.empty() && !fs::exists(extractionRoot() / "S"));
        QVERIFY(!fs::exists(rig->at("OTHER")) && !fs::exists("/EVIL"));
    }

    // The data directory on a 64 KiB file system of its own (a private mount namespace, so
    // nothing outside this test process sees it): a larger archive is refused before any
    // byte is written.
    void largerThanFreeSpace_refusedBeforeWriting()
    {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            QSKIP("needs a private mount namespace (root)");
        const fs::path archive =
            writeZip("big.zip", {"databases/system/config/books.db"}, QByteArray(256 * 1024, 'x'));
        fs::create_directories(extractionRoot());
        QCOMPARE(::mount("tmpfs", extractionRoot().c_str(), "tmpfs", 0, "size=64k"), 0);
        const QString why = load(archive, "BIG");
        const bool extracted = fs::exists(extractionRoot() / "BIG");
        ::umount2(extractionRoot().c_str(), MNT_DETACH);
        QVERIFY2(why.contains(QStringLiteral("Not enough free space")), qPrintable(why));
        QVERIFY(!extracted && rig->registry->readers.empty());
    }

    void profileDbFile_shownAsProfile()
    {
        fixture::BooksDb db(rig->at("copy/books.db"));
        db.addAnnotation(db.addBook("Title", "Author"));
        QCOMPARE(load(db.path(), "P"), QString());
        QVERIFY(rig->registry->findReader("P")->getAnnotations(0));
        QCOMPARE(rig->registry->findReader("P")->annotations.size(), size_t(1));
    }
};

QTEST_GUILESS_MAIN(tst_virtualreader)
#include "tst_virtualreader.moc"
