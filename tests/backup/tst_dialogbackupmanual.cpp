// The manual backup dialog as a user drives it: a refusal, a cancel, a retry and the report.
// Real reader tree, settings files and archives; scripted message boxes. What the run does
// on disk is the run's test; here the dialog drives it and tells.

#include "backup/dialogbackupmanual.h"
#include "core/globalsclass.h"
#include "readerfixture/readerfixture.h"
#include "readers/reader.h"
#include "support/fakeprompts.h"
#include "support/readervolumes.h"
#include "support/testhelpers.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QtTest>

#include <filesystem>

namespace fs = std::filesystem;
using testhelpers::folderEntries;

class tst_dialogbackupmanual : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void refusalCancelAndRetry_inTheSameDialog()
    {
        ReaderVolumes volumes;
        FakePrompts prompts;
        const std::shared_ptr<Reader> reader = volumes.reader;
        reader->serial = "SN-DLG";
        fixture::ReaderTree main(reader->mainpath);
        main.addExplorerDb();
        main.addRootProfile();
        main.addFile("Books/Dune.epub", QByteArray(1024 * 1024, 'b'));
        reader->db_main = reader->get_db_main(main.root()).path;
        reader->db_main_relative = reader->db_main.lexically_relative(main.root());
        reader->processProfiles(main.root(), 0);
        DialogBackupManual dialog(volumes.registry, volumes.globals, reader);
        const auto setDestination = [&dialog](const fs::path &folder) {
            dialog.findChild<QLineEdit *>("destinationpath")
                ->setText(QString::fromStdString(folder.string()));
        };

        // Onto the reader itself: refused, nothing written.
        setDestination(reader->mainpath / "Books");
        dialog.findChild<QCheckBox *>("cb_main")->setChecked(true);
        dialog.accept();
        QVERIFY(prompts.messages.size() == 1 && prompts.messages[0].icon == Prompts::Warning);
        QCOMPARE(folderEntries(reader->mainpath / "Books"), QStringList{"Dune.epub"});

        const fs::path folder = volumes.base / "out";
        fs::create_directories(folder);
        setDestination(folder);
        dialog.setRunObserver([&dialog](double fraction) {
            if (fraction >= 0.5)
                dialog.requestCancel();
        });
        dialog.accept();
        QVERIFY(prompts.messages.last().text.contains("No archive was written"));
        QVERIFY(fs::is_empty(folder));
        QCOMPARE(dialog.result(), int(QDialog::Rejected));

        // A cancelled run leaves no cancel behind for the next one.
        dialog.setRunObserver({});
        dialog.accept();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(folderEntries(folder),
                 QStringList{QString::fromStdString(dialog.lastArchive().filename().string())});
        QCOMPARE(prompts.messages.last().icon, Prompts::Information);
    }
};

QTEST_MAIN(tst_dialogbackupmanual)
#include "tst_dialogbackupmanual.moc"
