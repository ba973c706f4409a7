// The send-files dialog on reader volumes that are folders: when the reader's volume is gone
// by the time the user presses OK, the user is told and nothing is written anywhere. Where
// each file lands is the copy run's test.

#include "uploader/uploaderdialog.h"

#include "readers/reader.h"
#include "support/fakeprompts.h"
#include "support/readervolumes.h"
#include "support/testenv.h"

#include <QtTest>

#include <filesystem>

namespace fs = std::filesystem;

class tst_uploaderdialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void accept_onARemovedVolume_closesAndWritesNothing()
    {
        ReaderVolumes volumes(true);
        FakePrompts prompts;
        testenv::writeFile(volumes.pc / "f.ttf", "font");
        uploaderDialog dialog({QString::fromStdString((volumes.pc / "f.ttf").string())},
                              volumes.reader, volumes.globals);
        volumes.mounts->unmount(volumes.reader->maindevice); // the mount point stays
        dialog.accept();
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QCOMPARE(prompts.messages.last().text, QStringLiteral("Device is disconnected. Closing."));
        QVERIFY(fs::is_empty(volumes.reader->mainpath) && fs::is_empty(volumes.reader->cardpath));
    }
};

QTEST_MAIN(tst_uploaderdialog)
#include "tst_uploaderdialog.moc"
