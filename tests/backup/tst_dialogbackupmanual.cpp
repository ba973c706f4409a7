// The manual backup dialog as a user drives it: boxes and sizes, a refusal, a cancel, a retry
// and the report. Real reader tree, settings files and archives; scripted message boxes.

#include "backup/dialogbackupmanual.h"
#include "core/globalsclass.h"
#include "core/settingsstore.h"
#include "readerfixture/readerfixture.h"
#include "readers/reader.h"
#include "support/fakeprompts.h"
#include "support/readervolumes.h"
#include "support/testenv.h"
#include "support/testhelpers.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QRegularExpression>
#include <QTextDocumentFragment>
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

    fs::path base() const { return m_v->base; }
    QCheckBox *box(const char *name)
    {
        return m_dialog->findChild<QCheckBox *>(QString::fromLatin1(name));
    }
    void openDialog(const fs::path &destination)
    {
        m_dialog = std::make_unique<DialogBackupManual>(m_v->registry, m_v->globals, m_reader);
        m_dialog->findChild<QLineEdit *>("destinationpath")
            ->setText(QString::fromStdString(destination.string()));
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
        main.addFile("system/config/books.db-wal", QByteArray(1000, 'w'));
        main.addFile("system/dictionaries/en.dic", QByteArray(100, 'd'));
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

    void boxes_enabledByWhatTheReaderHasAndTotalFollowsThem()
    {
        // Remembered choices, fonts for a reader without a fonts folder: checked, not counted.
        openIniSettings(m_v->globals->settingsDevices)->setValue("SN-DLG/manualbackupFonts", true);
        openDialog(base());
        QVERIFY(box("cb_databases")->isChecked() && !box("cb_databases")->isEnabled());
        QVERIFY(!box("cb_card")->isEnabled() && !box("cb_apps")->isEnabled() &&
                box("cb_dicts")->isEnabled());
        QVERIFY(box("cb_fonts")->isChecked() && !box("cb_fonts")->isEnabled());
        uint64_t databases = fs::file_size(m_reader->db_main) + 1000; // with the WAL file
        for (const ProfileInfo &profile : m_reader->profiles)
            databases += fs::file_size(profile.dbPath);
        // Each part is surveyed once; any order of clicks gives the sum of what is checked.
        for (const bool on : {false, true, false, true}) {
            box("cb_main")->setChecked(on);
            box("cb_dicts")->setChecked(on);
            QCOMPARE(m_dialog->bytesNeeded(), databases + (on ? 100 + 1024 * 1024 : 0));
        }
    }

    // What the run does on disk is the run's test; here the dialog drives it and tells.
    void refusalCancelAndRetry_inTheSameDialog_reportLinksTheFolder()
    {
        openDialog(m_reader->mainpath / "Books");
        box("cb_main")->setChecked(true);
        m_dialog->accept();
        QVERIFY(m_prompts->messages.size() == 1 && m_prompts->messages[0].icon == Prompts::Warning);
        QCOMPARE(folderEntries(m_reader->mainpath / "Books"), QStringList{"Dune.epub"});

        const fs::path folder = base() / "it's <mine> & #1";
        fs::create_directories(folder);
        m_dialog->findChild<QLineEdit *>("destinationpath")
            ->setText(QString::fromStdString(folder.string()));
        DialogBackupManual *dialog = m_dialog.get();
        m_dialog->setRunObserver([dialog](double fraction) {
            if (fraction >= 0.5)
                dialog->requestCancel();
        });
        m_dialog->accept();
        QVERIFY(m_prompts->messages.last().text.contains("No archive was written"));
        QVERIFY(fs::is_empty(folder));
        QVERIFY(m_dialog->findChild<QDialogButtonBox *>()->isEnabled());
        QCOMPARE(m_dialog->result(), int(QDialog::Rejected));

        // A cancelled run leaves no cancel behind for the next one.
        m_dialog->setRunObserver({});
        m_dialog->accept();
        QCOMPARE(m_dialog->result(), int(QDialog::Accepted));
        QCOMPARE(folderEntries(folder),
                 QStringList{QString::fromStdString(m_dialog->lastArchive().filename().string())});
        const FakePrompts::Asked report = m_prompts->messages.last();
        QCOMPARE(report.icon, Prompts::Information);
        const QString shown = QString::fromStdString(folder.string());
        // The link as the message box's viewer takes it: no HTML escapes undone.
        const QString href =
            QRegularExpression("href=(['\"])(.*?)\\1").match(report.text).captured(2);
        QCOMPARE(QUrl(href).toLocalFile(), shown);
        QVERIFY(QTextDocumentFragment::fromHtml(report.text).toPlainText().contains(shown));
        // The reader's group names its serial, so the preferences scan does not skip it.
        QCOMPARE(openIniSettings(m_v->globals->settingsDevices)->value("SN-DLG/serial").toString(),
                 QString("SN-DLG"));
    }
};

QTEST_MAIN(tst_dialogbackupmanual)
#include "tst_dialogbackupmanual.moc"
