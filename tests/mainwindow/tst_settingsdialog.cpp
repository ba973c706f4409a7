// The settings dialog on real settings files in a temporary folder: every key read and
// written back, files it cannot read or write, and the data directory, which changes only
// on OK.

#include "core/globalsclass.h"
#include "core/settingsstore.h"
#include "core/textconv.h"
#include "mainwindow/settingsdialog.h"
#include "mainwindow/settingslogic.h"
#include "support/fakeprompts.h"
#include "support/testenv.h"

#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <filesystem>

namespace fs = std::filesystem;
namespace keys = settingskeys;

class tst_settingsdialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init()
    {
        m_root = std::make_unique<QTemporaryDir>();
        m_prompts = std::make_unique<FakePrompts>();
        // No --settingsdir: the data directory is the user's to change.
        m_globals = std::make_shared<globalsClass>(false, std::string(), std::string(),
                                                   path("share"), path("config"));
        fs::create_directories(m_globals->settingsGeneral.parent_path());
        QVERIFY(QFile(toQString(path("afile"))).open(QIODevice::WriteOnly));
    }
    void cleanup()
    {
        m_prompts.reset();
        m_root.reset();
    }

    // Every key, each off its default, comes back as it was stored, and the program uses it.
    // A user never asked about updates stays unasked: OK keeps the first-run question.
    void storedValues_savedBackUnchanged()
    {
        QVERIFY(testenv::writeFile(
            m_globals->settingsGeneral,
            "[settings]\ntextSearchDelay=1200\ncolumnResizeDelay=900\nmountRetries=7\n"
            "NumberRowsUsingDeviceID=true\nenable_debuglog=true\ndisable_load_anndata=true\n"
            "disable_devicemonitor=true\nup_alwaysreplace=true\nup_zipdisabled=true\n"
            "tabs_lastopened=2\nup_copytocardmode=2\nup_deletemode=3\n"
            "exporter_csv_separator=\",\"\n[updates]\nupdateInterval=2\n"));
        QMap<QString, QString> stored;
        for (const QString &key : openIniSettings(m_globals->settingsGeneral)->allKeys())
            stored[key] = readSetting(key);
        settingsDialog(m_globals).accept();
        for (auto it = stored.cbegin(); it != stored.cend(); ++it)
            QCOMPARE(readSetting(it.key()), it.value());
        QVERIFY(m_prompts->messages.isEmpty());
        QCOMPARE(m_globals->textSearchDelay, 1200u);

        QVERIFY(testenv::writeFile(m_globals->settingsGeneral, "[settings]\nmountRetries=7\n"));
        settingsDialog(m_globals).accept();
        QCOMPARE(readSetting(keys::updateInterval), QStringLiteral("-1"));
    }

    void datadir_stagedUntilOk_refusedWithReason()
    {
        const fs::path old = m_globals->datadir;
        fs::create_directories(old / "SN-A" / "localdbmirror");
        const fs::path chosen = path("elsewhere");
        fs::create_directories(chosen);
        {
            settingsDialog dialog(m_globals);
            browse(dialog, chosen);
            dialog.reject();
        }
        QCOMPARE(m_globals->datadir, old);

        settingsDialog dialog(m_globals);
        browse(dialog, path("afile"));
        QCOMPARE(m_prompts->messages.takeFirst().title,
                 QStringLiteral("Data directory not changed"));
        browse(dialog, chosen);
        QCOMPARE(m_globals->datadir, old); // still only staged
        dialog.accept();
        QCOMPARE(m_globals->datadir, chosen);
        QCOMPARE(m_globals->settingsDevices, chosen / "devices.conf");
        QCOMPARE(readSetting(keys::pathsDatadir), toQString(chosen));
        QCOMPARE(m_prompts->messages.size(), 1); // best to restart
        QVERIFY(fs::is_directory(old / "SN-A" / "localdbmirror"));
    }

    void datadirProblem_refusesUnsuitableFolders_data()
    {
        QTest::addColumn<QString>("relative");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("creatable folder") << QStringLiteral("new/deeper") << true;
        QTest::newRow("on a reader") << QStringLiteral("mnt/reader/backup") << false;
        QTest::newRow("beside the reader") << QStringLiteral("mnt/reader2") << true;
        QTest::newRow("data temporary folder") << QStringLiteral("data/tmp/x") << false;
        QTest::newRow("below a file") << QStringLiteral("afile/sub") << false;
    }
    void datadirProblem_refusesUnsuitableFolders()
    {
        QFETCH(QString, relative);
        QFETCH(bool, accepted);
        m_globals->setDatadir(path("data"));
        fs::create_directories(path("mnt/reader"));
        const QString problem = settingsform::datadirProblem(path(relative.toStdString()),
                                                             *m_globals, {path("mnt/reader")});
        QVERIFY2(problem.isEmpty() == accepted, qPrintable(problem));
    }

    void unwritableFile_saysSoAndKeepsDatadir()
    {
        // A parent that is a regular file stops the write for every user, root included.
        m_globals->settingsGeneral = path("afile") / "marlox.conf";
        const fs::path old = m_globals->datadir;
        fs::create_directories(path("elsewhere"));
        settingsDialog dialog(m_globals);
        browse(dialog, path("elsewhere"));
        dialog.accept();
        QCOMPARE(m_prompts->messages.size(), 1);
        QVERIFY(
            m_prompts->messages.first().title.startsWith(QStringLiteral("Settings NOT saveable")));
        QCOMPARE(m_globals->datadir, old);
    }

    // With the data directory fixed by the command line, or a settings file that could not
    // be read, the folder buttons are off and OK writes nothing over what is there.
    void datadirButtonsOff_nothingWritten()
    {
        const auto acceptWithButtonsOff = [this] {
            settingsDialog dialog(m_globals);
            for (const char *name : {"gn_datadir_browse", "gn_datadir_default"})
                QVERIFY(!dialog.findChild<QPushButton *>(QLatin1String(name))->isEnabled());
            dialog.accept();
        };
        fs::create_directories(m_globals->settingsGeneral); // a folder where the file belongs
        acceptWithButtonsOff();
        QCOMPARE(m_prompts->messages.size(), 1); // warned once, when opened
        QVERIFY(fs::is_empty(m_globals->settingsGeneral));
        m_globals = std::make_shared<globalsClass>(
            false, path("cli").string(), path("cli/data").string(), path("share"), path("config"));
        acceptWithButtonsOff();
        QVERIFY(!openIniSettings(m_globals->settingsGeneral)->contains(keys::pathsDatadir));
    }

private:
    void browse(settingsDialog &dialog, const fs::path &answer)
    {
        m_prompts->setNextFileName(toQString(answer));
        dialog.findChild<QPushButton *>(QStringLiteral("gn_datadir_browse"))->click();
    }
    fs::path path(const std::string &relative) const
    {
        return fs::path(m_root->path().toStdString()) / relative;
    }
    QString readSetting(const QString &key) const
    {
        return openIniSettings(m_globals->settingsGeneral)->value(key).toString();
    }

    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<FakePrompts> m_prompts;
    std::shared_ptr<globalsClass> m_globals;
};

QTEST_MAIN(tst_settingsdialog)
#include "tst_settingsdialog.moc"
