// Where settings and data live: in the installed mode, and with a settings folder given on the
// command line.

#include "core/globalsclass.h"
#include "support/testenv.h"

#include <QTemporaryDir>
#include <QtTest>

#include <filesystem>

namespace fs = std::filesystem;

class tst_globalsclass : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    fs::path m_root;

    // The installed mode: settings and data below the XDG folders in the temporary folder.
    globalsClass installed() const
    {
        return globalsClass(false, {}, {}, m_root / "share", m_root / "config");
    }
    globalsClass withSettingsDir(const std::string &data = {}) const
    {
        return globalsClass(false, m_root.string(), data, "/share", "/config");
    }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_root = m_dir->path().toStdString();
    }

    void settingsDir_fromCommandLine()
    {
        const std::string data = (m_root / "donn\u00e9es").string();
        QVERIFY(testenv::writeFile(m_root / "marlox.conf", "[paths]\ndatadir=/elsewhere/mine\n"));
        const globalsClass g = withSettingsDir(data);
        QCOMPARE(g.settingsGeneral, m_root / "marlox.conf");
        QCOMPARE(g.datadir, fs::path(data)); // the stored folder does not count
        QCOMPARE(g.settingsDevices, fs::path(data) / "devices.conf");
        QVERIFY(withSettingsDir().datadir.empty());
        const globalsClass relative(false, "some/where", {}, "/share", "/config");
        QCOMPARE(relative.settingsGeneral, fs::current_path() / "some/where/marlox.conf");
    }

    void installed_datadirFromSettings_data()
    {
        QTest::addColumn<QString>("stored"); // empty: none stored
        QTest::newRow("none") << QString();
        QTest::newRow("non-ASCII, as the window writes the file")
            << QStringLiteral("/home/\u00f6/B\u00fccher");
    }

    void installed_datadirFromSettings()
    {
        QFETCH(QString, stored);
        const fs::path conf = m_root / "config/marlox/marlox.conf";
        if (!stored.isEmpty())
            QVERIFY(testenv::writeFile(conf, "[paths]\ndatadir=" + stored.toUtf8() + "\n"));
        globalsClass g = installed();
        const fs::path expected =
            stored.isEmpty() ? g.defaultDatadir : fs::path(stored.toStdString());
        QCOMPARE(g.settingsGeneral, conf);
        QCOMPARE(g.datadir, expected);
        QCOMPARE(g.settingsDevices, expected / "devices.conf");
        QCOMPARE(fs::exists(conf), !stored.isEmpty()); // nothing is created before it is used
        QVERIFY(!fs::exists(g.defaultDatadir));
        // Saving the row colours rewrites the file: the next start finds the same folder.
        g.rowHighlightColorMode = 3;
        g.saveRowHighlightSettings();
        QCOMPARE(installed().datadir, expected);

        QCOMPARE(g.resetDatadirToDefault(), !stored.isEmpty());
        QVERIFY(!g.resetDatadirToDefault());
        QCOMPARE(g.settingsDevices, g.defaultDatadir / "devices.conf");
    }
};

QTEST_GUILESS_MAIN(tst_globalsclass)
#include "tst_globalsclass.moc"
