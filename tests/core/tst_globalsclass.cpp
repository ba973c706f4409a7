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

private slots:
    void initTestCase();
    void portable_putsEverythingBesideTheProgram();
    void settingsdir_takesDatadirFromCommandLine();
    void settingsdir_alone_leavesDatadirEmpty();
    void settingsdir_relative_madeAbsolute();
    void default_readsDatadirFromSettings_data();
    void default_readsDatadirFromSettings();
    void default_withoutStoredDatadir_usesDefault();
    void settingsdir_ignoresStoredDatadir();
    void resetDatadirToDefault_changesOnlyWhenDifferent();
    void versionNumbers_parsed();
    void viewSettings_limits_data();
    void viewSettings_limits();
    void viewSettings_settingsFileIsDirectory_defaults();
    void saveRowHighlightSettings_roundTrip();
    void datadirSubfolder_createsOnceAndReturnsPath();
    void datadirSubfolder_unknownKind_empty();
    void datadirSubfolder_cannotCreate_warnsAndEmpty();

private:
    globalsClass makeDefault(const QTemporaryDir &root) const
    {
        return globalsClass(false, {}, {}, fs::path(root.path().toStdString()) / "share",
                            fs::path(root.path().toStdString()) / "config");
    }
};

void tst_globalsclass::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void tst_globalsclass::portable_putsEverythingBesideTheProgram()
{
    QTemporaryDir root;
    const globalsClass g(true, {}, {}, "/nonexistent/share", "/nonexistent/config");
    const fs::path app = QCoreApplication::applicationDirPath().toStdString();
    QVERIFY(g.portablemode);
    QVERIFY(!g.settingsdirViaCLI);
    QCOMPARE(g.appdir, app);
    QCOMPARE(g.settingsGeneral, app / "marlox.conf");
    QCOMPARE(g.datadir, app / "data");
    QCOMPARE(g.settingsDevices, app / "data" / "devices.conf");
    QCOMPARE(g.helpfile, app / "help" / "help_en.html");
    QCOMPARE(g.tempdir, app / "tmp");
    QCOMPARE(g.logfile, app / "marlox_debug.log");
    // The defaults are still worked out, for the settings dialog's "Reset".
    QCOMPARE(g.defaultDatadir, fs::path("/nonexistent/share/marlox/data"));
    QCOMPARE(g.defaultSettingsGeneral, fs::path("/nonexistent/config/marlox/marlox.conf"));
}

void tst_globalsclass::settingsdir_takesDatadirFromCommandLine()
{
    QTemporaryDir root;
    const std::string settings = root.filePath(QStringLiteral("réglages")).toStdString();
    const std::string data = root.filePath(QStringLiteral("données")).toStdString();
    const globalsClass g(false, settings, data, "/share", "/config");
    QVERIFY(g.settingsdirViaCLI);
    QCOMPARE(g.settingsGeneral, fs::path(settings) / "marlox.conf");
    QCOMPARE(g.datadir, fs::path(data));
    QCOMPARE(g.settingsDevices, fs::path(data) / "devices.conf");
    QCOMPARE(g.helpfile, fs::path("/usr/share/doc/marlox/help/help_en.html"));
    QCOMPARE(g.logfile, g.tempdir / "marlox_debug.log");
}

void tst_globalsclass::settingsdir_alone_leavesDatadirEmpty()
{
    QTemporaryDir root;
    const globalsClass g(false, root.path().toStdString(), {}, "/share", "/config");
    QVERIFY(g.datadir.empty());
    QCOMPARE(g.settingsDevices, fs::path("devices.conf"));
}

void tst_globalsclass::settingsdir_relative_madeAbsolute()
{
    const globalsClass g(false, "some/where", {}, "/share", "/config");
    QVERIFY(g.settingsGeneral.is_absolute());
    QCOMPARE(g.settingsGeneral, fs::current_path() / "some/where" / "marlox.conf");
}

void tst_globalsclass::default_readsDatadirFromSettings_data()
{
    QTest::addColumn<QString>("datadir");
    QTest::newRow("plain") << QStringLiteral("/elsewhere/mine");
    QTest::newRow("non-ASCII, as the window writes the file") << QStringLiteral("/home/ö/Bücher");
}

void tst_globalsclass::default_readsDatadirFromSettings()
{
    QFETCH(QString, datadir);
    QTemporaryDir root;
    const QString conf = root.filePath(QStringLiteral("config/marlox/marlox.conf"));
    QVERIFY(testenv::writeFile(conf.toStdString(), "[paths]\ndatadir=" + datadir.toUtf8() + "\n"));
    const fs::path expected = datadir.toStdString();
    globalsClass g = makeDefault(root);
    QCOMPARE(g.settingsGeneral, fs::path(conf.toStdString()));
    QCOMPARE(g.datadir, expected);
    QCOMPARE(g.settingsDevices, expected / "devices.conf");
    // Saving the row colours rewrites the file: the next start still finds the folder.
    g.saveRowHighlightSettings();
    QCOMPARE(makeDefault(root).datadir, expected);
}

void tst_globalsclass::default_withoutStoredDatadir_usesDefault()
{
    QTemporaryDir root;
    const globalsClass g = makeDefault(root);
    QCOMPARE(g.datadir, fs::path(root.path().toStdString()) / "share/marlox/data");
    QCOMPARE(g.datadir, g.defaultDatadir);
    // Nothing is created before it is used.
    QVERIFY(!fs::exists(g.datadir));
    QVERIFY(!fs::exists(g.settingsGeneral));
}

void tst_globalsclass::settingsdir_ignoresStoredDatadir()
{
    QTemporaryDir root;
    QVERIFY(testenv::writeFile(root.filePath(QStringLiteral("marlox.conf")).toStdString(),
                               "[paths]\ndatadir=/elsewhere/mine\n"));
    const globalsClass g(false, root.path().toStdString(), {}, "/share", "/config");
    QVERIFY(g.datadir.empty());
}

void tst_globalsclass::resetDatadirToDefault_changesOnlyWhenDifferent()
{
    QTemporaryDir root;
    globalsClass g = makeDefault(root);
    QVERIFY(!g.resetDatadirToDefault());
    QCOMPARE(g.datadir, g.defaultDatadir);

    g.setDatadir("/x/y");
    QCOMPARE(g.settingsDevices, fs::path("/x/y/devices.conf"));
    QVERIFY(g.resetDatadirToDefault());
    QCOMPARE(g.datadir, g.defaultDatadir);
    QCOMPARE(g.settingsDevices, g.defaultDatadir / "devices.conf");
}

void tst_globalsclass::versionNumbers_parsed()
{
    QTemporaryDir root;
    const globalsClass g = makeDefault(root);
    QCOMPARE(g.versionNumbers, (std::array<int, 4>{0, 9, 8, 2}));

    std::array<int, 4> numbers{7, 7, 7, 7};
    QVERIFY(!parseVersionNumbers("v1.2", numbers));
    QCOMPARE(numbers, (std::array<int, 4>{7, 7, 7, 7}));
    QVERIFY(parseVersionNumbers("3.1", numbers));
    QCOMPARE(numbers, (std::array<int, 4>{3, 1, 0, 0}));
}

void tst_globalsclass::viewSettings_limits_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<uint>("search");
    QTest::addColumn<uint>("resize");
    QTest::addColumn<bool>("numberById");
    QTest::addColumn<int>("colorMode");

    QTest::newRow("missing keys") << QByteArray() << 700u << 2000u << false << -1;
    QTest::newRow("upper bounds kept")
        << QByteArray("textSearchDelay=5000\ncolumnResizeDelay=5000\n") << 5000u << 5000u
        << false << -1;
    QTest::newRow("just past the bounds")
        << QByteArray("textSearchDelay=5001\ncolumnResizeDelay=5001\n") << 700u << 2000u
        << false << -1;
    QTest::newRow("lower bound of resize")
        << QByteArray("textSearchDelay=0\ncolumnResizeDelay=500\n") << 0u << 500u << false
        << -1;
    QTest::newRow("below resize bound")
        << QByteArray("columnResizeDelay=499\n") << 700u << 2000u << false << -1;
    QTest::newRow("negative numbers")
        << QByteArray("textSearchDelay=-5\ncolumnResizeDelay=-1\n") << 700u << 2000u << false
        << -1;
    QTest::newRow("wrong types fall back")
        << QByteArray("textSearchDelay=soon\ncolumnResizeDelay=@Variant(oops)\n"
                      "NumberRowsUsingDeviceID=perhaps\nrowHighlightColorMode=red\n")
        << 700u << 2000u << false << -1;
    QTest::newRow("all set")
        << QByteArray("textSearchDelay=10\ncolumnResizeDelay=1200\nNumberRowsUsingDeviceID=true\n"
                      "rowHighlightColorMode=2\nrowHighlightColorAsText=true\n")
        << 10u << 1200u << true << 2;
}

void tst_globalsclass::viewSettings_limits()
{
    QFETCH(QByteArray, ini);
    QFETCH(uint, search);
    QFETCH(uint, resize);
    QFETCH(bool, numberById);
    QFETCH(int, colorMode);

    QTemporaryDir root;
    QVERIFY(testenv::writeFile(root.filePath(QStringLiteral("marlox.conf")).toStdString(),
                               "[settings]\n" + ini));
    const globalsClass g(false, root.path().toStdString(), {}, "/share", "/config");
    QCOMPARE(g.textSearchDelay, search);
    QCOMPARE(g.columnResizeDelay, resize);
    QCOMPARE(g.NumberRowsUsingDeviceID, numberById);
    QCOMPARE(g.rowHighlightColorMode, colorMode);
}

void tst_globalsclass::viewSettings_settingsFileIsDirectory_defaults()
{
    QTemporaryDir root;
    QVERIFY(QDir(root.path()).mkpath(QStringLiteral("marlox.conf")));
    const globalsClass g(false, root.path().toStdString(), {}, "/share", "/config");
    QCOMPARE(g.textSearchDelay, 700u);
    QCOMPARE(g.columnResizeDelay, 2000u);
    QCOMPARE(g.rowHighlightColorMode, -1);
    QVERIFY(QFileInfo(root.filePath(QStringLiteral("marlox.conf"))).isDir());
}

void tst_globalsclass::saveRowHighlightSettings_roundTrip()
{
    QTemporaryDir root;
    globalsClass g(false, root.path().toStdString(), {}, "/share", "/config");
    g.rowHighlightColorMode = 3;
    g.rowHighlightColorAsText = true;
    g.saveRowHighlightSettings();

    const globalsClass again(false, root.path().toStdString(), {}, "/share", "/config");
    QCOMPARE(again.rowHighlightColorMode, 3);
    QVERIFY(again.rowHighlightColorAsText);
}

void tst_globalsclass::datadirSubfolder_createsOnceAndReturnsPath()
{
    QTemporaryDir root;
    globalsClass g = makeDefault(root);
    g.setDatadir(fs::path(root.path().toStdString()) / "data");
    const std::string serial = "PB632-ÄÖ-0001";

    const fs::path mirror = datadirSubfolder(g, serial, localdbmirror);
    QCOMPARE(mirror, g.datadir / serial / "localdbmirror");
    QVERIFY(fs::is_directory(mirror));

    // An existing folder is returned untouched, contents and all.
    QVERIFY(testenv::writeFile(mirror / "keep.db", "x"));
    QCOMPARE(datadirSubfolder(g, serial, localdbmirror), mirror);
    QVERIFY(fs::exists(mirror / "keep.db"));

    QCOMPARE(datadirSubfolder(g, serial, manualbackup), g.datadir / serial / "manualbackup");
    QCOMPARE(datadirSubfolder(g, serial, tmp), g.datadir / "tmp");
    QCOMPARE(datadirSubfolder(g, "ignored", tmp), g.datadir / "tmp");
}

void tst_globalsclass::datadirSubfolder_unknownKind_empty()
{
    QTemporaryDir root;
    globalsClass g = makeDefault(root);
    g.setDatadir(fs::path(root.path().toStdString()) / "data");
    for (int kind : {-1, 1, 3, 4, 6})
        QVERIFY(datadirSubfolder(g, "S", kind).empty());
    QVERIFY(!fs::exists(g.datadir));
}

void tst_globalsclass::datadirSubfolder_cannotCreate_warnsAndEmpty()
{
    QTemporaryDir root;
    globalsClass g = makeDefault(root);
    // A file where the data directory should be: nothing can be created below it.
    const fs::path blocker = fs::path(root.path().toStdString()) / "datafile";
    QVERIFY(testenv::writeFile(blocker, "not a folder"));
    g.setDatadir(blocker);
    QTest::ignoreMessage(QtWarningMsg, "Failed creating datadir subfolder");
    QVERIFY(datadirSubfolder(g, "S", localdbmirror).empty());
}

QTEST_GUILESS_MAIN(tst_globalsclass)
#include "tst_globalsclass.moc"
