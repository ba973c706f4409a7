// The copy run on reader volumes that are folders behind the fake volume list: where each
// kind lands, what survives a failed or stopped copy, when sources and archives go, and
// that nothing is ever written outside the reader's volumes.

#include "support/readervolumes.h"
#include "support/testenv.h"
#include "readers/reader.h"
#include "readers/readerdata.h"
#include "uploader/uploadrun.h"

#include <QDir>
#include <QtTest>

#include <zip.h>

#include <algorithm>
#include <filesystem>
#include <utility>
#include <vector>

namespace fs = std::filesystem;
using testenv::readFile;
using testenv::writeFile;

namespace {

/// A ZIP archive of (entry name, content) pairs; an entry ending in "/" is a folder.
void writeZip(const fs::path &path, const std::vector<std::pair<std::string, QByteArray>> &entries)
{
    int error = 0;
    zip_t *archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    QVERIFY(archive);
    for (const auto &[name, bytes] : entries) {
        if (name.back() == '/') {
            QVERIFY(zip_dir_add(archive, name.c_str(), ZIP_FL_ENC_UTF_8) >= 0);
            continue;
        }
        void *copy = malloc(static_cast<size_t>(bytes.size()));
        memcpy(copy, bytes.constData(), static_cast<size_t>(bytes.size()));
        zip_source_t *source = zip_source_buffer(archive, copy, static_cast<zip_uint64_t>(bytes.size()), 1);
        const zip_int64_t index = zip_file_add(archive, name.c_str(), source, ZIP_FL_ENC_UTF_8);
        QVERIFY(index >= 0);
        zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0);
    }
    QCOMPARE(zip_close(archive), 0);
}

QStringList filesBelow(const fs::path &root)
{
    QStringList found;
    for (const auto &entry : fs::recursive_directory_iterator(root))
        if (!entry.is_directory())
            found << QString::fromStdString(fs::relative(entry.path(), root).string());
    found.sort();
    return found;
}

} // namespace

class tst_uploadrun : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<ReaderVolumes> m_volumes;
    std::atomic<bool> m_cancel{false};
    QStringList m_folderQuestions;

    UploadTarget target(bool createFolders = true)
    {
        UploadTarget t;
        ReaderVolumes *volumes = m_volumes.get();
        t.volumeMounted = [volumes](const fs::path &root) {
            const std::string &device = root == volumes->reader->cardpath
                                            ? volumes->reader->carddevice
                                            : volumes->reader->maindevice;
            return volumes->registry->isMountedVolume(root, device);
        };
        t.confirmFolder = [this, createFolders](const fs::path &folder, bool) {
            m_folderQuestions << QString::fromStdString(folder.string());
            return createFolders;
        };
        return t;
    }
    fs::path source(const std::string &name, const QByteArray &bytes = "data")
    {
        const fs::path path = m_volumes->sources() / name;
        writeFile(path, bytes);
        return path;
    }
    UploadItemsBuild build(const std::vector<fs::path> &files, const UploadSettings &settings = {})
    {
        return buildUploadItems(files, m_volumes->mainPath(), m_volumes->cardPath(), settings);
    }

private slots:
    void init()
    {
        m_volumes = std::make_unique<ReaderVolumes>(true);
        m_cancel = false;
        m_folderQuestions.clear();
    }
    void cleanup() { m_volumes.reset(); }

    void destinations_perKindAndStorage_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("cardMode");
        QTest::addColumn<QString>("expected"); // relative to the base folder; empty: not sent
        QTest::newRow("acsm main") << "a.acsm" << 0 << "main/a.acsm";
        QTest::newRow("acsm card mode 1") << "a.acsm" << 1 << "card/a.acsm";
        QTest::newRow("font stays in main, mode 2") << "f.TTC" << 2 << "main/system/fonts/f.TTC";
        QTest::newRow("dict card mode 2") << "d.dic" << 2 << "card/system/dictionaries/d.dic";
        QTest::newRow("dict main mode 1") << "d.dic" << 1 << "main/system/dictionaries/d.dic";
        QTest::newRow("app") << "x.app" << 2 << "main/applications/x.app";
        QTest::newRow("pbi") << "p.pbi" << 0 << "main/p.pbi";
        QTest::newRow("firmware") << "SWUPDATE.BIN" << 2 << "main/SWUPDATE.BIN";
        QTest::newRow("book refused") << "b.epub" << 0 << "";
        QTest::newRow("upper-case ZIP is unknown") << "z.ZIP" << 0 << "";
    }
    void destinations_perKindAndStorage()
    {
        QFETCH(QString, name);
        QFETCH(int, cardMode);
        QFETCH(QString, expected);
        UploadSettings settings;
        settings.copyToCardMode = cardMode;
        std::vector<UploadItem> items = build({source(name.toStdString(), "payload")}, settings).items;
        const UploadRunResult run = runUpload(items, target(), m_cancel);
        QCOMPARE(run.errors, 0);
        QStringList sent = filesBelow(m_volumes->mainPath()) + filesBelow(m_volumes->cardPath());
        if (expected.isEmpty()) {
            QVERIFY(sent.isEmpty());
            QVERIFY(run.report.empty());
            return;
        }
        QCOMPARE(sent.size(), 1);
        QCOMPARE(readFile(m_volumes->base() / expected.toStdString()), QByteArray("payload"));
        QCOMPARE(QString::fromStdString(run.report.at(0)), QStringLiteral("Copied : ") + name);
    }

    void failedCopy_keepsOldFont_andNoTemporaryFile()
    {
        const fs::path font = m_volumes->mainPath() / "system/fonts/serif.ttf";
        writeFile(font, "A");
        // A stored entry whose bytes were damaged: libzip finds the CRC wrong at its end,
        // after most of the new font was already written.
        const fs::path zip = m_volumes->sources() / "fonts.zip";
        writeZip(zip, {{"serif.ttf", QByteArray(3 << 20, 'B')}});
        QByteArray damaged = readFile(zip);
        damaged[damaged.indexOf(QByteArray(64, 'B')) + 100] = 'X';
        writeFile(zip, damaged);
        UploadSettings settings;
        settings.alwaysReplace = true;
        std::vector<UploadItem> items = build({zip}, settings).items;
        QCOMPARE(items.size(), size_t(1));
        const UploadRunResult run = runUpload(items, target(), m_cancel);
        QCOMPARE(run.errors, 1);
        QVERIFY(QString::fromStdString(items[0].result).startsWith(QStringLiteral("NOT copied (")));
        QCOMPARE(readFile(font), QByteArray("A"));
        QCOMPARE(filesBelow(m_volumes->mainPath()), QStringList{QStringLiteral("system/fonts/serif.ttf")});
        QVERIFY(fs::exists(zip));
    }

    void zipWithFontAndBook_keptAfterDelete()
    {
        const fs::path zip = m_volumes->sources() / "mixed.zip";
        writeZip(zip, {{"fonts/", {}}, {"fonts/a.ttf", "font"}, {"book.epub", "book"}});
        UploadSettings settings;
        settings.deleteMode = 2;
        std::vector<UploadItem> items = build({zip}, settings).items;
        QCOMPARE(items.size(), size_t(2));
        const UploadRunResult run = runUpload(items, target(), m_cancel);
        QCOMPARE(readFile(m_volumes->mainPath() / "system/fonts/a.ttf"), QByteArray("font"));
        QVERIFY(fs::exists(zip));
        QVERIFY(!items[0].sourceDeleted);
        QCOMPARE(QString::fromStdString(run.report.back()),
                 QStringLiteral("Archive kept, not every file in it was copied : mixed.zip"));
    }

    void zipDeleted_onlyWhenEveryEntryCopied_data()
    {
        QTest::addColumn<bool>("secondBlocked");
        QTest::newRow("all copied") << false;
        QTest::newRow("second fails") << true;
    }
    void zipDeleted_onlyWhenEveryEntryCopied()
    {
        QFETCH(bool, secondBlocked);
        const fs::path zip = m_volumes->sources() / "fonts.zip";
        writeZip(zip, {{"a.ttf", "one"}, {"sub/b.otf", "two"}});
        if (secondBlocked)
            fs::create_directories(m_volumes->mainPath() / "system/fonts/b.otf/x");
        UploadSettings settings;
        settings.deleteMode = 2;
        settings.alwaysReplace = true;
        std::vector<UploadItem> items = build({zip}, settings).items;
        const UploadRunResult run = runUpload(items, target(), m_cancel);
        QCOMPARE(readFile(m_volumes->mainPath() / "system/fonts/a.ttf"), QByteArray("one"));
        QCOMPARE(fs::exists(zip), secondBlocked);
        QCOMPARE(run.errors, secondBlocked ? 1 : 0);
        if (!secondBlocked) {
            // The second extraction reopened the archive: it was deleted after the last one.
            QCOMPARE(readFile(m_volumes->mainPath() / "system/fonts/b.otf"), QByteArray("two"));
            QCOMPARE(QString::fromStdString(items[1].result), QStringLiteral("Copied (source deleted)"));
        }
    }

    void zipEntryWithParentComponents_landsInMountRootOnly()
    {
        const fs::path zip = m_volumes->sources() / "evil.zip";
        writeZip(zip, {{"../../evil.acsm", "x"}, {"/abs/other.acsm", "y"}});
        std::vector<UploadItem> items = build({zip}).items;
        runUpload(items, target(), m_cancel);
        const QStringList expected{QStringLiteral("main/evil.acsm"), QStringLiteral("main/other.acsm"),
                                   QStringLiteral("pc/evil.zip")};
        QStringList everything = filesBelow(m_volumes->base());
        everything.erase(std::remove_if(everything.begin(), everything.end(),
                                        [](const QString &f) {
                                            return !f.startsWith(QStringLiteral("main/")) &&
                                                   !f.startsWith(QStringLiteral("card/")) &&
                                                   !f.startsWith(QStringLiteral("pc/"));
                                        }),
                         everything.end());
        QCOMPARE(everything, expected);
    }

    void macMetadata_skipped()
    {
        const fs::path zip = m_volumes->sources() / "mac.zip";
        writeZip(zip, {{"__MACOSX/._a.ttf", "meta"}, {"._b.ttf", "meta"}, {"a.ttf", "font"}});
        const std::vector<UploadItem> items = build({zip}).items;
        QCOMPARE(items.size(), size_t(3));
        QVERIFY(!items[0].copy && !items[1].copy && items[2].copy);
        QCOMPARE(QString::fromStdString(items[0].info), QStringLiteral("Skipped, macOS metadata"));
    }

    void removedVolume_stopsRun_andCreatesNothing()
    {
        std::vector<UploadItem> items = build({source("a.ttf"), source("b.dic")}).items;
        m_volumes->unmountMain();
        const UploadRunResult run = runUpload(items, target(), m_cancel);
        QVERIFY(run.disconnected);
        QCOMPARE(run.errors, 2);
        for (const std::string &line : run.report)
            QVERIFY(QString::fromStdString(line).startsWith(QStringLiteral("NOT copied (Device is disconnected)")));
        QVERIFY(m_folderQuestions.isEmpty());
        QVERIFY(fs::is_empty(m_volumes->mainPath()));
    }

    void stopDuringFirstOfThree_leavesRestAbsent()
    {
        const QByteArray big(3 << 20, 'f');
        std::vector<UploadItem> items =
            build({source("1.ttf", big), source("2.ttf", big), source("3.ttf", big)}).items;
        UploadTarget t = target();
        // The user presses Stop while the first file's folder is being made.
        t.confirmFolder = [this](const fs::path &, bool) {
            m_cancel = true;
            return true;
        };
        const UploadRunResult run = runUpload(items, t, m_cancel);
        QVERIFY(run.cancelled);
        const fs::path fonts = m_volumes->mainPath() / "system/fonts";
        QVERIFY(!fs::exists(fonts / "1.ttf") || readFile(fonts / "1.ttf") == big);
        QVERIFY(!fs::exists(fonts / "2.ttf") && !fs::exists(fonts / "3.ttf"));
        QCOMPARE(filesBelow(fonts).size(), fs::exists(fonts / "1.ttf") ? 1 : 0);
        QCOMPARE(run.report.size(), size_t(1));
    }

    void sameDestination_laterDuplicateNotCopied()
    {
        const fs::path first = source("Serif.TTF", "first");
        const fs::path second = m_volumes->sources() / "other" / "serif.ttf";
        writeFile(second, "second");
        std::vector<UploadItem> items = build({first, second}).items;
        const UploadRunResult run = runUpload(items, target(), m_cancel);
        QCOMPARE(filesBelow(m_volumes->mainPath()), QStringList{QStringLiteral("system/fonts/Serif.TTF")});
        QCOMPARE(readFile(m_volumes->mainPath() / "system/fonts/Serif.TTF"), QByteArray("first"));
        QCOMPARE(run.errors, 1);
        QVERIFY(QString::fromStdString(run.report[1]).startsWith(QStringLiteral("NOT copied (another file")));
    }

    void declinedFolder_reportedAsError()
    {
        std::vector<UploadItem> items = build({source("a.app")}).items;
        const UploadRunResult run = runUpload(items, target(false), m_cancel);
        QCOMPARE(m_folderQuestions.size(), 1);
        QCOMPARE(run.errors, 1);
        QCOMPARE(QString::fromStdString(run.report.at(0)), QStringLiteral("NOT copied (folder not created) : a.app"));
        QVERIFY(!fs::exists(m_volumes->mainPath() / "applications"));
    }

    void sourceDeleted_onlyAfterSuccessfulCopy()
    {
        const fs::path good = source("a.acsm", "ok");
        const fs::path blocked = source("b.acsm", "kept");
        fs::create_directories(m_volumes->mainPath() / "b.acsm" / "x");
        UploadSettings settings;
        settings.deleteMode = 1;
        settings.alwaysReplace = true;
        std::vector<UploadItem> items = build({good, blocked}, settings).items;
        runUpload(items, target(), m_cancel);
        QCOMPARE(QString::fromStdString(items[0].result), QStringLiteral("Copied (source deleted)"));
        QVERIFY(!fs::exists(good));
        QVERIFY(QString::fromStdString(items[1].result).startsWith(QStringLiteral("NOT copied (")));
        QVERIFY(!QString::fromStdString(items[1].result).contains(QStringLiteral("source deleted")));
        QCOMPARE(readFile(blocked), QByteArray("kept"));
    }

    void symlinkOnCard_refused()
    {
        const fs::path outside = m_volumes->base() / "outside";
        fs::create_directories(outside);
        fs::create_directories(m_volumes->cardPath() / "system");
        fs::create_directory_symlink(outside, m_volumes->cardPath() / "system/dictionaries");
        fs::create_symlink(outside / "x.acsm", m_volumes->cardPath() / "x.acsm");
        UploadSettings settings;
        settings.copyToCardMode = 2;
        settings.alwaysReplace = true;
        std::vector<UploadItem> items = build({source("d.dic"), source("x.acsm")}, settings).items;
        const UploadRunResult run = runUpload(items, target(), m_cancel);
        QCOMPARE(run.errors, 2);
        QVERIFY(fs::is_empty(outside));
    }

    void fileChooserFilter_listsEveryFont()
    {
        const QString filter = uploadFileFilter(false);
        const QString fonts = filter.split(QStringLiteral(";;")).at(1);
        QVERIFY(fonts.endsWith(QLatin1Char(')')) && fonts.count(QLatin1Char(')')) == 1);
        const QString patterns = fonts.section(QLatin1Char('('), 1).chopped(1);
        for (const char *name : {"a.ttf", "b.otf", "c.ttc", "d.txt"})
            writeFile(m_volumes->sources() / name, "x");
        const QStringList listed = QDir(QString::fromStdString(m_volumes->sources().string()))
                                       .entryList(patterns.split(QLatin1Char(' ')), QDir::Files);
        QCOMPARE(listed, (QStringList{QStringLiteral("a.ttf"), QStringLiteral("b.otf"), QStringLiteral("c.ttc")}));
        QVERIFY(!uploadFileFilter(true).contains(QStringLiteral("*.zip")));
    }
};

QTEST_GUILESS_MAIN(tst_uploadrun)
#include "tst_uploadrun.moc"
