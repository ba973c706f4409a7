// Paths of the three modes, the data directory's subfolders and the view settings.

#include "core/datadir.h"
#include "core/globalsclass.h"
#include "support/testenv.h"

#include <QCoreApplication>
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

    void portable_everythingBesideTheProgram()
    {
        const globalsClass g(true, {}, {}, "/nonexistent/share", "/nonexistent/config");
        const fs::path app = QCoreApplication::applicationDirPath().toStdString();
        QVERIFY(g.portablemode && !g.settingsdirViaCLI);
        for (const fs::path &path :
             {g.settingsGeneral, g.datadir, g.settingsDevices, g.helpfile, g.tempdir, g.logfile})
            QVERIFY2(path.parent_path().string().rfind(app.string(), 0) == 0, path.c_str());
        // The defaults are still worked out, for the settings dialog's "Reset".
        QCOMPARE(g.defaultDatadir.parent_path().parent_path(), fs::path("/nonexistent/share"));
    }

    void settingsDir_fromCommandLine()
    {
        const std::string data = (m_root / "donn\u00e9es").string();
        QVERIFY(testenv::writeFile(m_root / "marlox.conf", "[paths]\ndatadir=/elsewhere/mine\n"));
        const globalsClass g = withSettingsDir(data);
        QVERIFY(g.settingsdirViaCLI);
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
        g.rowHighlightColorAsText = true;
        g.saveRowHighlightSettings();
        const globalsClass again = installed();
        QCOMPARE(again.datadir, expected);
        QCOMPARE(again.rowHighlightColorMode, 3);
        QVERIFY(again.rowHighlightColorAsText);

        QCOMPARE(g.resetDatadirToDefault(), !stored.isEmpty());
        QVERIFY(!g.resetDatadirToDefault());
        QCOMPARE(g.settingsDevices, g.defaultDatadir / "devices.conf");
    }

    void parseVersionNumbers_partialOrRejected()
    {
        std::array<int, 4> numbers{7, 7, 7, 7};
        QVERIFY(!parseVersionNumbers("v1.2", numbers));
        QCOMPARE(numbers, (std::array<int, 4>{7, 7, 7, 7}));
        QVERIFY(parseVersionNumbers("3.1", numbers));
        QCOMPARE(numbers, (std::array<int, 4>{3, 1, 0, 0}));
    }

    // Values at their bounds are kept; past them, or of the wrong type, they read as absent.
    void viewSettings_bounds()
    {
        const globalsClass defaults = withSettingsDir();
        QVERIFY(testenv::writeFile(m_root / "marlox.conf",
                                   "[settings]\ntextSearchDelay=5000\ncolumnResizeDelay=500\n"
                                   "rowHighlightColorMode=2\n"));
        const globalsClass kept = withSettingsDir();
        QCOMPARE(kept.textSearchDelay, 5000u);
        QCOMPARE(kept.columnResizeDelay, 500u);
        QCOMPARE(kept.rowHighlightColorMode, 2);
        for (const char *ini : {"textSearchDelay=5001\ncolumnResizeDelay=499\n",
                                "columnResizeDelay=@Variant(oops)\nrowHighlightColorMode=red\n"}) {
            QVERIFY(testenv::writeFile(m_root / "marlox.conf", QByteArray("[settings]\n") + ini));
            const globalsClass g = withSettingsDir();
            QCOMPARE(g.textSearchDelay, defaults.textSearchDelay);
            QCOMPARE(g.columnResizeDelay, defaults.columnResizeDelay);
            QCOMPARE(g.rowHighlightColorMode, defaults.rowHighlightColorMode);
        }
    }

    void datadirSubfolder_createdOnce()
    {
        globalsClass g = installed();
        g.setDatadir(m_root / "data");
        const std::string serial = "PB632-\u00c4\u00d6-0001";
        const fs::path mirror = datadirSubfolder(g, serial, localdbmirror);
        QCOMPARE(mirror, g.datadir / serial / "localdbmirror");
        QVERIFY(testenv::writeFile(mirror / "keep.db", "x"));
        QCOMPARE(datadirSubfolder(g, serial, localdbmirror), mirror);
        QVERIFY(fs::exists(mirror / "keep.db")); // an existing folder is left as it is
        QCOMPARE(datadirSubfolder(g, serial, manualbackup), g.datadir / serial / "manualbackup");
        QCOMPARE(datadirSubfolder(g, "ignored", tmp), g.datadir / "tmp");
        QVERIFY(fs::is_directory(g.datadir / "tmp"));
        for (int kind : {-1, 1, 3, 6})
            QVERIFY(datadirSubfolder(g, "S", kind).empty());
        QVERIFY(!fs::exists(g.datadir / "S"));

        // A file where the data directory should be: nothing can be created below it.
        QVERIFY(testenv::writeFile(m_root / "datafile", "not a folder"));
        g.setDatadir(m_root / "datafile");
        QVERIFY(datadirSubfolder(g, "S", localdbmirror).empty());
    }
};

QTEST_GUILESS_MAIN(tst_globalsclass)
#include "tst_globalsclass.moc"
