// The copy run on reader volumes that are folders behind the fake volume list: where each
// kind lands, what survives a failed or stopped copy, when sources and archives go, and
// that nothing is ever written outside the reader's volumes.

#include "readers/reader.h"
#include "readers/readerdata.h"
#include "support/readervolumes.h"
#include "support/testenv.h"
#include "support/testhelpers.h"
#include "uploader/uploadrun.h"

#include <QtTest>

#include <optional>

namespace fs = std::filesystem;
using testenv::readFile;
using testenv::writeFile;
using testhelpers::writeZip;

namespace {

/// Every file below `root` as "relative path=content", sorted.
QStringList filesBelow(const fs::path &root)
{
    QStringList found;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::end(it); ++it)
        if (!it->is_directory())
            found << QString::fromStdString(it->path().lexically_relative(root).string()) + '=' +
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
    UploadSettings m_settings;

    /// Answers "create the folder?" with `confirm`, by default yes.
    UploadTarget target(std::function<bool(const fs::path &)> confirm = {})
    {
        ReaderVolumes *v = m_v.get();
        UploadTarget t;
        t.volumeMounted = [v](const fs::path &root) {
            const bool card = root == v->reader->cardpath;
            return v->registry->isMountedVolume(root, card ? v->reader->carddevice
                                                           : v->reader->maindevice);
        };
        t.confirmFolder = [confirm](const fs::path &folder, bool) {
            return confirm ? confirm(folder) : true;
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
        m_settings = {};
        m_settings.alwaysReplace = true;
    }

    // One run over every kind of trouble a chosen file can meet; the files on both volumes
    // and on the computer afterwards tell what went where and what was deleted.
    void mixedRun_landsSafeFiles_refusesTheRest()
    {
        const fs::path main = m_v->reader->mainpath, card = m_v->reader->cardpath;
        const fs::path outside = m_v->base / "outside";
        writeFile(outside / "x.acsm", "mine");
        fs::create_directories(card / "system");
        fs::create_directory_symlink(outside, card / "system/dictionaries");
        fs::create_symlink(outside / "x.acsm", card / "x.acsm");
        fs::create_directories(card / "b.acsm"); // a folder where the file should go
        writeFile(main / "system/fonts/b.otf", "old");
        QVERIFY(writeZip(
            m_v->pc / "fonts.zip",
            {{"a.ttf", "one"}, {"sub/", {}}, {"__MACOSX/._a.ttf", "m"}, {"book.epub", "book"}}));
        QVERIFY(
            writeZip(m_v->pc / "climb.zip", {{"../../evil.acsm", "x"}, {"/abs/other.acsm", "y"}}));
        // Stored, so libzip finds the CRC wrong only at the entry's end, after most of the
        // new font was written.
        const fs::path damaged = m_v->pc / "damaged.zip";
        QVERIFY(writeZip(damaged, {{"sub/b.otf", QByteArray(3 << 20, 'B')}}));
        QByteArray bytes = readFile(damaged);
        bytes[bytes.indexOf(QByteArray(64, 'B')) + 100] = 'X';
        writeFile(damaged, bytes);

        m_settings.copyToCardMode = 2;
        m_settings.deleteMode = 2;
        const UploadRunResult run = send(
            {source("serif.ttf", "first"), source("other/SERIF.ttf"), source("SWUPDATE.BIN"),
             source("a.app"), source("b.acsm"), source("c.acsm"), source("d.dic"), source("x.acsm"),
             source("b.epub"), m_v->pc / "fonts.zip", damaged, m_v->pc / "climb.zip"},
            target([](const fs::path &folder) {
                return folder.string().find("applications") == std::string::npos;
            }));

        QCOMPARE(filesBelow(main),
                 (QStringList{"SWUPDATE.BIN=data", "system/fonts/a.ttf=one",
                              "system/fonts/b.otf=old", "system/fonts/serif.ttf=first"}));
        QCOMPARE(filesBelow(card),
                 (QStringList{"c.acsm=data", "evil.acsm=x", "other.acsm=y", "x.acsm=mine"}));
        QCOMPARE(filesBelow(outside), QStringList{"x.acsm=mine"});
        QCOMPARE(testhelpers::folderEntries(m_v->pc),
                 (QStringList{"SWUPDATE.BIN", "a.app", "b.acsm", "b.epub", "d.dic", "damaged.zip",
                              "fonts.zip", "other", "serif.ttf", "x.acsm"}));
        QCOMPARE(run.errors, 6);
        QStringList report;
        for (const std::string &line : run.report)
            report << QString::fromStdString(line);
        for (const char *line :
             {"NOT copied (another file of this run has the same destination) : SERIF.ttf",
              "NOT copied (folder not created) : a.app", "Copied (source deleted) : c.acsm",
              "Archive kept, not every file in it was copied : fonts.zip",
              "Archive deleted : climb.zip"})
            QVERIFY2(report.contains(QLatin1String(line)), qPrintable(report.join('\n')));
    }

    void removedVolume_stopsRun_andCreatesNothing()
    {
        m_v->mounts->unmount(m_v->reader->maindevice); // the empty mount point stays
        bool asked = false;
        const UploadRunResult run = send({source("a.ttf"), source("b.pbi")},
                                         target([&](const fs::path &) { return asked = true; }));
        QVERIFY(run.disconnected);
        QCOMPARE(run.errors, 2);
        QVERIFY(!asked);
        QVERIFY(fs::is_empty(m_v->reader->mainpath));
    }

    void stopDuringFirstOfThree_leavesRestAbsent()
    {
        const QByteArray big(3 << 20, 'f');
        // The user presses Stop while the first file's folder is being made.
        const UploadTarget t = target([this](const fs::path &) { return m_cancel = true; });
        QVERIFY(
            send({source("1.ttf", big), source("2.ttf", big), source("3.ttf", big)}, t).cancelled);
        const QStringList left = filesBelow(m_v->reader->mainpath / "system/fonts");
        QVERIFY(left.isEmpty() || left == QStringList{"1.ttf=" + big});
    }
};

QTEST_GUILESS_MAIN(tst_uploadrun)
#include "tst_uploadrun.moc"
