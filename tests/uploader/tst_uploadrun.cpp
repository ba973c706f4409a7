// The copy run on reader volumes that are folders behind the fake volume list: where each
// kind lands, what survives a failed or stopped copy, when sources and archives go, and
// that nothing is ever written outside the reader's volumes.

#include "readers/reader.h"
#include "readers/readerdata.h"
#include "support/readervolumes.h"
#include "support/testenv.h"
#include "uploader/filecategories.h"
#include "uploader/uploadrun.h"

#include <QtTest>

#include <optional>

#include <zip.h>

namespace fs = std::filesystem;
using testenv::readFile;
using testenv::writeFile;
using Entries = std::vector<std::pair<std::string, QByteArray>>;
Q_DECLARE_METATYPE(Entries)

namespace {

/// A ZIP archive of stored (entry name, content) pairs; a name ending in "/" is a folder.
void writeZip(const fs::path &path, const Entries &entries)
{
    zip_t *archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, nullptr);
    for (const auto &[name, bytes] : entries) {
        if (name.back() == '/') {
            zip_dir_add(archive, name.c_str(), ZIP_FL_ENC_UTF_8);
            continue;
        }
        zip_source_t *source =
            zip_source_buffer(archive, bytes.constData(), zip_uint64_t(bytes.size()), 0);
        const zip_int64_t index = zip_file_add(archive, name.c_str(), source, 0);
        zip_set_file_compression(archive, zip_uint64_t(index), ZIP_CM_STORE, 0);
    }
    QCOMPARE(zip_close(archive), 0);
}

/// Every file below `root` as "relative path=content", sorted.
QStringList filesBelow(const fs::path &root)
{
    QStringList found;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::end(it); ++it)
        if (!it->is_directory())
            found << QString::fromStdString(fs::relative(it->path(), root).string()) + '=' +
                         readFile(it->path());
    found.sort();
    return found;
}

} // namespace

class tst_uploadrun : public QObject
{
    Q_OBJECT

    std::unique_ptr<ReaderVolumes> m_v;
    std::atomic<bool> m_cancel{false};
    int m_folderQuestions = 0;
    UploadSettings m_settings;

    UploadTarget target(bool createFolders = true)
    {
        ReaderVolumes *v = m_v.get();
        UploadTarget t;
        t.volumeMounted = [v](const fs::path &root) {
            const bool card = root == v->reader->cardpath;
            return v->registry->isMountedVolume(root, card ? v->reader->carddevice
                                                           : v->reader->maindevice);
        };
        t.confirmFolder = [this, createFolders](const fs::path &, bool) {
            ++m_folderQuestions;
            return createFolders;
        };
        return t;
    }
    fs::path source(const std::string &name, const QByteArray &bytes = "data")
    {
        writeFile(m_v->pc / name, bytes);
        return m_v->pc / name;
    }
    UploadRunResult send(const std::vector<fs::path> &files, std::optional<UploadTarget> t = {})
    {
        const Reader &reader = *m_v->reader;
        auto items = buildUploadItems(files, reader.mainpath, reader.cardpath, m_settings).items;
        return runUpload(items, t ? *t : target(), m_cancel);
    }

private slots:
    void init()
    {
        m_v = std::make_unique<ReaderVolumes>(true);
        m_cancel = false;
        m_folderQuestions = 0;
        m_settings = {};
        m_settings.alwaysReplace = true;
    }

    void destinations_perKindAndStorage_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("cardMode");
        QTest::addColumn<QStringList>("expected"); // below the base folder
        QTest::newRow("acsm main") << "a.acsm" << 0 << QStringList{"main/a.acsm=x"};
        QTest::newRow("acsm card mode 1") << "a.acsm" << 1 << QStringList{"card/a.acsm=x"};
        QTest::newRow("font stays in main, mode 2")
            << "f.TTC" << 2 << QStringList{"main/system/fonts/f.TTC=x"};
        QTest::newRow("dict card mode 2")
            << "d.dic" << 2 << QStringList{"card/system/dictionaries/d.dic=x"};
        QTest::newRow("firmware") << "SWUPDATE.BIN" << 2 << QStringList{"main/SWUPDATE.BIN=x"};
        QTest::newRow("book refused") << "b.epub" << 0 << QStringList();
        QTest::newRow("upper-case ZIP is unknown") << "z.ZIP" << 0 << QStringList();
    }
    void destinations_perKindAndStorage()
    {
        QFETCH(QString, name);
        QFETCH(int, cardMode);
        QFETCH(QStringList, expected);
        m_settings.copyToCardMode = cardMode;
        QCOMPARE(send({source(name.toStdString(), "x")}).errors, 0);
        fs::remove_all(m_v->pc);
        QCOMPARE(filesBelow(m_v->base), expected);
    }

    void zipEntries_landOnTheReader_archiveDeletedOnlyWhenAllCopied_data()
    {
        QTest::addColumn<Entries>("entries");
        QTest::addColumn<bool>("damaged"); // a byte of the last entry; an old b.otf is there
        QTest::addColumn<QStringList>("expected"); // below the main memory
        QTest::addColumn<bool>("kept");
        const Entries fonts{{"a.ttf", "one"}, {"sub/", {}}, {"sub/b.otf", "two"}};
        const QStringList both{"system/fonts/a.ttf=one", "system/fonts/b.otf=two"};
        QTest::newRow("all copied") << fonts << false << both << false;
        QTest::newRow("second damaged, old font kept")
            << Entries{fonts[0], fonts[1], {"sub/b.otf", QByteArray(3 << 20, 'B')}} << true
            << QStringList{both[0], "system/fonts/b.otf=old"} << true;
        Entries withBook = fonts; // and macOS metadata, which is skipped
        withBook.insert(withBook.end(), {{"__MACOSX/._a.ttf", "m"}, {"book.epub", "book"}});
        QTest::newRow("book not sent") << withBook << false << both << true;
        QTest::newRow("names climbing out stay in the root")
            << Entries{{"../../evil.acsm", "x"}, {"/abs/other.acsm", "y"}} << false
            << QStringList{"evil.acsm=x", "other.acsm=y"} << false;
    }
    void zipEntries_landOnTheReader_archiveDeletedOnlyWhenAllCopied()
    {
        QFETCH(Entries, entries);
        QFETCH(bool, damaged);
        QFETCH(QStringList, expected);
        QFETCH(bool, kept);
        const fs::path zip = m_v->pc / "fonts.zip";
        writeZip(zip, entries);
        if (damaged) {
            // Stored, so libzip finds the CRC wrong only at the entry's end, after most of the
            // new font was written.
            writeFile(m_v->reader->mainpath / "system/fonts/b.otf", "old");
            QByteArray bytes = readFile(zip);
            bytes[bytes.indexOf(QByteArray(64, 'B')) + 100] = 'X';
            writeFile(zip, bytes);
        }
        m_settings.deleteMode = 2;
        const UploadRunResult run = send({zip});
        QCOMPARE(run.errors, damaged ? 1 : 0);
        QCOMPARE(filesBelow(m_v->reader->mainpath), expected);
        QVERIFY(filesBelow(m_v->reader->cardpath).isEmpty());
        QCOMPARE(fs::exists(zip), kept);
        QCOMPARE(QString::fromStdString(run.report.back()).startsWith("Archive kept"), kept);
    }

    void removedVolume_stopsRun_andCreatesNothing()
    {
        m_v->mounts->unmount(m_v->reader->maindevice); // the empty mount point stays
        const UploadRunResult run = send({source("a.ttf"), source("b.pbi")});
        QVERIFY(run.disconnected);
        QCOMPARE(run.errors, 2);
        QCOMPARE(QString::fromStdString(run.report[1]),
                 QStringLiteral("NOT copied (Device is disconnected) : b.pbi"));
        QCOMPARE(m_folderQuestions, 0);
        QVERIFY(fs::is_empty(m_v->reader->mainpath));
    }

    void stopDuringFirstOfThree_leavesRestAbsent()
    {
        const QByteArray big(3 << 20, 'f');
        UploadTarget t = target();
        // The user presses Stop while the first file's folder is being made.
        t.confirmFolder = [this](const fs::path &, bool) { return m_cancel = true; };
        QVERIFY(
            send({source("1.ttf", big), source("2.ttf", big), source("3.ttf", big)}, t).cancelled);
        const QStringList left = filesBelow(m_v->reader->mainpath / "system/fonts");
        QVERIFY(left.isEmpty() || left == QStringList{"1.ttf=" + big});
    }

    void mends_reportedPerFile_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("line"); // the report line of the second file
        QTest::newRow("same name in other case")
            << "other/SERIF.ttf"
            << "NOT copied (another file of this run has the same destination) : SERIF.ttf";
        QTest::newRow("folder declined") << "a.app"
                                         << "NOT copied (folder not created) : a.app";
        QTest::newRow("copy failed, source kept")
            << "b.acsm"
            << "NOT copied (Not a regular file: %1/main/b.acsm) : b.acsm";
        QTest::newRow("copied, source deleted") << "c.acsm"
                                                << "Copied (source deleted) : c.acsm";
    }
    void mends_reportedPerFile()
    {
        QFETCH(QString, name);
        QFETCH(QString, line);
        fs::create_directories(m_v->reader->mainpath / "system/fonts");
        fs::create_directories(m_v->reader->mainpath / "b.acsm");
        m_settings.deleteMode = 1;
        const fs::path second = source(name.toStdString());
        const UploadRunResult run = send({source("serif.ttf", "first"), second}, target(false));
        QCOMPARE(QString::fromStdString(run.report.at(1)),
                 line.arg(QString::fromStdString(m_v->base.string())));
        QCOMPARE(run.errors, line.startsWith(QStringLiteral("NOT")) ? 1 : 0);
        QCOMPARE(fs::exists(second), !line.contains(QStringLiteral("deleted")));
        QCOMPARE(readFile(m_v->reader->mainpath / "system/fonts/serif.ttf"), QByteArray("first"));
    }

    void symlinkOnCard_refused()
    {
        const fs::path outside = m_v->base / "outside";
        fs::create_directories(outside);
        fs::create_directories(m_v->reader->cardpath / "system");
        fs::create_directory_symlink(outside, m_v->reader->cardpath / "system/dictionaries");
        fs::create_symlink(outside / "x.acsm", m_v->reader->cardpath / "x.acsm");
        m_settings.copyToCardMode = 2;
        QCOMPARE(send({source("d.dic"), source("x.acsm")}).errors, 2);
        QVERIFY(fs::is_empty(outside));
    }
};

QTEST_GUILESS_MAIN(tst_uploadrun)
#include "tst_uploadrun.moc"
