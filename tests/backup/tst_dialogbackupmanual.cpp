// The manual backup dialog as a user drives it: a refusal, a cancel, a retry and the report.
// Real reader tree, settings files and archives; scripted message boxes.

#include "backup/dialogbackupmanual.h"
#include "core/globalsclass.h"
#include "readerfixture/readerfixture.h"
#include "readers/reader.h"
#include "support/fakeprompts.h"
#include "support/readervolumes.h"
#include "support/testenv.h"
#include "support/testhelpers.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QtTest>

#include <filesystem>
#include <memory>

namespace fs = std::filesystem;
using testhelpers::folderEntries;

class tst_dialogbackupmanual : public QObject
{
    Q_OBJECT

    std::unique_ptr<ReaderVolumes> m_v;
    std::unique_ptr<FakePrompts> m_prompts;
    std::shared_ptr<Reader> m_reader;
    std::unique_ptr<DialogBackupManual> m_dialog;

    void setDestination(const fs::path &folder)
    {
        m_dialog->findChild<QLineEdit *>("destinationpath")
            ->setText(QString::fromStdString(folder.string()));
    }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init()
    {
        m_v = std::make_unique<ReaderVolumes>();
        m_prompts = std::make_unique<FakePrompts>();
        m_reader = m_v->reader;
        m_reader->serial = "SN-DLG";
        fixture::ReaderTree main(m_reader->mainpath);
        main.addExplorerDb();
        main.addRootProfile();
        main.addFile("Books/Dune.epub", QByteArray(1024 * 1024, 'b'));
        m_reader->db_main = m_reader->get_db_main(main.root()).path;
        m_reader->db_main_relative = m_reader->db_main.lexically_relative(main.root());
        m_reader->processProfiles(main.root(), 0);
    }
    void cleanup()
    {
        m_dialog.reset();
        m_prompts.reset();
    }

    // What the run does on disk is the run's test; here the dialog drives it and tells.
    void refusalCancelAndRetry_inTheSameDialog()
    {
        m_dialog = std::make_unique<DialogBackupManual>(m_v->registry, m_v->globals, m_reader);
        setDestination(m_reader->mainpath / "Books");
        m_dialog->findChild<QCheckBox *>("cb_main")->setChecked(true);
        m_dialog->accept();
        QVERIFY(m_prompts->messages.size() == 1 && m_prompts->messages[0].icon == Prompts::Warning);
        QCOMPARE(folderEntries(m_reader->mainpath / "Books"), QStringList{"Dune.epub"});

        const fs::path folder = m_v->base / "out";
        fs::create_directories(folder);
        setDestination(folder);
        DialogBackupManual *dialog = m_dialog.get();
        m_dialog->setRunObserver([dialog](double fraction) {
            if (fraction >= 0.5)
                dialog->requestCancel();
        });
        m_dialog->accept();
        QVERIFY(m_prompts->messages.last().text.contains("No archive was written"));
        QVERIFY(fs::is_empty(folder));
        QCOMPARE(m_dialog->result(), int(QDialog::Rejected));

        // A cancelled run leaves no cancel behind for the next one.
        m_dialog->setRunObserver({});
        m_dialog->accept();
        QCOMPARE(m_dialog->result(), int(QDialog::Accepted));
        QCOMPARE(folderEntries(folder),
                 QStringList{QString::fromStdString(m_dialog->lastArchive().filename().string())});
        QCOMPARE(m_prompts->messages.last().icon, Prompts::Information);
    }
};

QTEST_MAIN(tst_dialogbackupmanual)
#include "tst_dialogbackupmanual.moc"
