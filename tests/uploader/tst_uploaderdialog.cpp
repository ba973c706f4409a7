// The send-files dialog end to end on reader volumes that are folders: rows from the
// settings, the copy run on its worker thread with the prompts answered by the test, and
// the refusal to write to a reader that is gone.

#include "uploader/uploaderdialog.h"

#include "core/globalsclass.h"
#include "core/settingsstore.h"
#include "readers/reader.h"
#include "support/fakeprompts.h"
#include "support/readervolumes.h"
#include "support/testenv.h"
#include "uploader/uploadermodel.h"

#include <QPushButton>
#include <QtTest>

#include <filesystem>

namespace fs = std::filesystem;
using testenv::readFile;
using testenv::writeFile;

class tst_uploaderdialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void accept_copiesAndReports()
    {
        ReaderVolumes volumes(true);
        {
            const auto settings = openIniSettings(volumes.globals->settingsGeneral);
            settings->setValue(settingskeys::upCopytocardmode, 1);
        }
        FakePrompts prompts;
        prompts.setNextAnswer(Prompts::Ok); // create system/fonts
        writeFile(volumes.pc / "a.acsm", "a");
        writeFile(volumes.pc / "f.ttf", "f");
        uploaderDialog dialog({QStringLiteral("%1/a.acsm").arg(volumes.dir.path() + QStringLiteral("/pc")),
                               QStringLiteral("%1/f.ttf").arg(volumes.dir.path() + QStringLiteral("/pc"))},
                              volumes.reader, volumes.globals);
        QVERIFY(dialog.findChild<QPushButton *>(QStringLiteral("cardAll"))->isEnabled());
        dialog.accept();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(readFile(volumes.reader->cardpath / "a.acsm"), QByteArray("a"));
        QCOMPARE(readFile(volumes.reader->mainpath / "system/fonts/f.ttf"), QByteArray("f"));
        QCOMPARE(prompts.messages.size(), 2);
        QCOMPARE(prompts.messages[0].title, QStringLiteral("Creating directories"));
        QCOMPARE(prompts.messages[1].title, QStringLiteral("Completed copy and delete operations"));
        QVERIFY(prompts.messages[1].text.contains(QStringLiteral("Copied : f.ttf")));
        QVERIFY(!prompts.messages[1].text.contains(QStringLiteral("Errors occurred")));
    }

    void removedVolume_closesAndCreatesNothing()
    {
        ReaderVolumes volumes;
        FakePrompts prompts;
        writeFile(volumes.pc / "f.ttf", "f");
        uploaderDialog dialog({volumes.dir.path() + QStringLiteral("/pc/f.ttf")}, volumes.reader,
                              volumes.globals);
        volumes.mounts->unmount(volumes.reader->maindevice); // the mount point stays
        dialog.accept();
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.messages[0].text, QStringLiteral("Device is disconnected. Closing."));
        QVERIFY(fs::is_empty(volumes.reader->mainpath));
    }
};

QTEST_MAIN(tst_uploaderdialog)
#include "tst_uploaderdialog.moc"
