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

#include <QtTest>

#include <filesystem>

namespace fs = std::filesystem;
using testenv::readFile;

class tst_uploaderdialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void accept_copiesOrClosesOnARemovedVolume_data()
    {
        QTest::addColumn<bool>("removed");
        QTest::newRow("connected") << false;
        QTest::newRow("main volume removed") << true;
    }
    void accept_copiesOrClosesOnARemovedVolume()
    {
        QFETCH(bool, removed);
        ReaderVolumes volumes(true);
        openIniSettings(volumes.globals->settingsGeneral)->setValue(settingskeys::upCopytocardmode, 1);
        FakePrompts prompts;
        prompts.setNextAnswer(Prompts::Ok); // create system/fonts
        QStringList files;
        for (const char *name : {"a.acsm", "f.ttf"}) {
            testenv::writeFile(volumes.pc / name, name);
            files << QString::fromStdString((volumes.pc / name).string());
        }
        uploaderDialog dialog(files, volumes.reader, volumes.globals);
        if (removed)
            volumes.mounts->unmount(volumes.reader->maindevice); // the mount point stays
        dialog.accept();
        QCOMPARE(dialog.result(), int(removed ? QDialog::Rejected : QDialog::Accepted));
        if (removed) {
            QCOMPARE(prompts.messages.last().text, QStringLiteral("Device is disconnected. Closing."));
            QVERIFY(fs::is_empty(volumes.reader->mainpath) && fs::is_empty(volumes.reader->cardpath));
            return;
        }
        QCOMPARE(readFile(volumes.reader->cardpath / "a.acsm"), QByteArray("a.acsm"));
        QCOMPARE(readFile(volumes.reader->mainpath / "system/fonts/f.ttf"), QByteArray("f.ttf"));
        QCOMPARE(prompts.messages.size(), 2); // the folder question and the report
        QVERIFY(prompts.messages[1].text.contains(QStringLiteral("Copied : f.ttf")));
    }
};

QTEST_MAIN(tst_uploaderdialog)
#include "tst_uploaderdialog.moc"
