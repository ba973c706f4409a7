// The settings dialog on real settings files in a temporary folder: every key read and
// written back, values it cannot show, files it cannot read or write, and the data
// directory, which changes only on OK.

#include "core/globalsclass.h"
#include "core/settingsstore.h"
#include "core/textconv.h"
#include "mainwindow/settingsdialog.h"
#include "mainwindow/settingslogic.h"
#include "support/fakeprompts.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>

#include <filesystem>

namespace fs = std::filesystem;

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
    }
    void cleanup()
    {
        m_prompts.reset();
        m_root.reset();
    }

    void storedValue_savedBackOrDefaultNeverEmpty_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("stored"); // null: key missing
        QTest::addColumn<QString>("saved");
        const auto row = [](const QString &key, const char *stored, const char *saved = nullptr) {
            QTest::newRow(qPrintable(key + QLatin1Char('=') + QString::fromLatin1(stored ? stored : "(missing)")))
                << key << QString::fromLatin1(stored) << QString::fromLatin1(saved ? saved : stored);
        };
        // Every key the dialog edits, with a value other than its default, comes back as it was.
        row(settingskeys::textSearchDelay, "1200");
        row(settingskeys::columnResizeDelay, "900");
        row(settingskeys::numberRowsUsingDeviceID, "true");
        row(settingskeys::enableDebuglog, "true");
        row(settingskeys::tabsLastopened, "2");
        row(settingskeys::disableLoadAnndata, "true");
        row(settingskeys::disableDevicemonitor, "true");
        row(settingskeys::mountRetries, "7");
        row(settingskeys::upAlwaysreplace, "true");
        row(settingskeys::upZipdisabled, "true");
        row(settingskeys::upCopytocardmode, "2");
        row(settingskeys::upDeletemode, "3");
        row(settingskeys::exporterCsvSeparator, ",");
        row(settingskeys::updateInterval, "2");
        // Values the dialog cannot show keep their value or fall back to the default.
        row(settingskeys::exporterCsvSeparator, "|");
        row(settingskeys::exporterCsvSeparator, "", ";");
        row(settingskeys::upDeletemode, "9", "0");
        row(settingskeys::upCopytocardmode, "-1", "0");
        row(settingskeys::updateInterval, "-1");
        row(settingskeys::updateInterval, nullptr, "-1");
    }
    void storedValue_savedBackOrDefaultNeverEmpty()
    {
        QFETCH(QString, key);
        QFETCH(QString, stored);
        QFETCH(QString, saved);
        if (!stored.isNull())
            openIniSettings(m_globals->settingsGeneral)->setValue(key, stored);
        settingsDialog dialog(m_globals);
        if (key == settingskeys::updateInterval && saved == QLatin1String("-1"))
            QCOMPARE(child<QComboBox>(dialog, "updatesInterval")->currentIndex(), -1);
        dialog.accept();
        QCOMPARE(readSetting(key), saved);
        QVERIFY(m_prompts->messages.isEmpty());
    }

    void changes_savedAndUsed()
    {
        settingsDialog dialog(m_globals);
        child<QSpinBox>(dialog, "textSearchDelaySpinbox")->setValue(0);
        child<QComboBox>(dialog, "exporter_csv_separator")->setCurrentIndex(0);
        child<QComboBox>(dialog, "updatesInterval")->setCurrentIndex(0);
        dialog.accept();
        QCOMPARE(readSetting(settingskeys::textSearchDelay), QStringLiteral("0"));
        QCOMPARE(readSetting(settingskeys::exporterCsvSeparator), QStringLiteral(";"));
        QCOMPARE(readSetting(settingskeys::updateInterval), QStringLiteral("0"));
        QCOMPARE(m_globals->textSearchDelay, 0u); // the program uses what was saved
    }

    void stagedDatadir_cancelKeepsOldOkAppliesAndAsksRestart()
    {
        const fs::path old = m_globals->datadir;
        fs::create_directories(old / "SN-A" / "localdbmirror");
        const fs::path chosen = path("elsewhere");
        fs::create_directories(chosen);
        {
            settingsDialog dialog(m_globals);
            m_prompts->setNextFileName(toQString(chosen));
            child<QPushButton>(dialog, "gn_datadir_browse")->click();
            QCOMPARE(child<QLineEdit>(dialog, "gn_datadir")->text(), toQString(chosen));
            dialog.reject();
        }
        QCOMPARE(m_globals->datadir, old);
        QVERIFY(!openIniSettings(m_globals->settingsGeneral)->contains(settingskeys::pathsDatadir));
        QVERIFY(m_prompts->messages.isEmpty());

        settingsDialog dialog(m_globals);
        // A folder that cannot be the data directory is refused with the reason.
        QVERIFY(QFile(toQString(path("afile"))).open(QIODevice::WriteOnly));
        m_prompts->setNextFileName(toQString(path("afile")));
        child<QPushButton>(dialog, "gn_datadir_browse")->click();
        QCOMPARE(m_prompts->messages.takeFirst().title, QStringLiteral("Data directory not changed"));
        m_prompts->setNextFileName(toQString(chosen));
        child<QPushButton>(dialog, "gn_datadir_browse")->click();
        QCOMPARE(m_globals->datadir, old); // still only staged
        dialog.accept();
        QCOMPARE(m_globals->datadir, chosen);
        QCOMPARE(m_globals->settingsDevices, chosen / "devices.conf");
        QCOMPARE(readSetting(settingskeys::pathsDatadir), toQString(chosen));
        QCOMPARE(m_prompts->messages.size(), 1);
        QCOMPARE(m_prompts->messages.first().title, QStringLiteral("Restart"));
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
        QVERIFY(QFile(toQString(path("afile"))).open(QIODevice::WriteOnly));
        const QString problem = settingsform::datadirProblem(path(relative.toStdString()),
                                                             *m_globals, {path("mnt/reader")});
        QVERIFY2(problem.isEmpty() == accepted, qPrintable(problem));
    }

    void unwritableFile_saysSoAndKeepsDatadir()
    {
        // A parent that is a regular file stops the write for every user, root included.
        QVERIFY(QFile(toQString(path("afile"))).open(QIODevice::WriteOnly));
        m_globals->settingsGeneral = path("afile") / "marlox.conf";
        const fs::path old = m_globals->datadir;
        fs::create_directories(path("elsewhere"));
        settingsDialog dialog(m_globals);
        m_prompts->setNextFileName(toQString(path("elsewhere")));
        child<QPushButton>(dialog, "gn_datadir_browse")->click();
        dialog.accept();
        QCOMPARE(m_prompts->messages.size(), 1);
        QVERIFY(m_prompts->messages.first().title.startsWith(
            QStringLiteral("Settings NOT saveable. Error code: ")));
        QCOMPARE(m_globals->datadir, old);
    }

    void datadirButtonsOff_nothingWritten_data()
    {
        QTest::addColumn<bool>("unloadable");
        QTest::newRow("data directory fixed by the command line") << false;
        QTest::newRow("unloadable settings file") << true;
    }
    void datadirButtonsOff_nothingWritten()
    {
        QFETCH(bool, unloadable);
        if (unloadable)
            fs::create_directories(m_globals->settingsGeneral); // a folder where the file belongs
        else
            m_globals = std::make_shared<globalsClass>(false, path("cli").string(), path("cli/data").string(),
                                                       path("share"), path("config"));
        settingsDialog dialog(m_globals);
        QVERIFY(!child<QPushButton>(dialog, "gn_datadir_browse")->isEnabled());
        QVERIFY(!child<QPushButton>(dialog, "gn_datadir_default")->isEnabled());
        dialog.accept();
        QCOMPARE(m_prompts->messages.size(), unloadable ? 1 : 0); // warned once, when opened
        if (unloadable)
            QVERIFY(fs::is_empty(m_globals->settingsGeneral));
        else
            QVERIFY(!openIniSettings(m_globals->settingsGeneral)->contains(settingskeys::pathsDatadir));
    }

private:
    template <typename T>
    static T *child(QWidget &dialog, const char *name)
    {
        T *widget = dialog.findChild<T *>(QString::fromLatin1(name));
        if (!widget)
            qFatal("no widget %s", name);
        return widget;
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
