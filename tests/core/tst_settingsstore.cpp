// The two INI files: typed reads, the "settings" group round trip, device preferences.

#include "core/settingsstore.h"
#include "support/testenv.h"

#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

#include <filesystem>

namespace fs = std::filesystem;

class tst_settingsstore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void readBool_acceptsOnlyBooleanWords_data();
    void readBool_acceptsOnlyBooleanWords();
    void generalSettings_defaultsWhenMissing();
    void generalSettings_roundTrip();
    void generalSettings_limitsAppliedOnRead();
    void devicePreferences_missingKeysReadAsDefaults();
    void devicePreferences_nonAsciiRoundTrip();
    void settingsFileIsDirectory_reportsErrorAndDefaults();
    void unreadableSettingsFile_reportsError();

private:
    fs::path file(const QTemporaryDir &dir, const char *name) const
    {
        return fs::path(dir.path().toStdString()) / name;
    }
};

void tst_settingsstore::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void tst_settingsstore::readBool_acceptsOnlyBooleanWords_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<bool>("fallback");
    QTest::addColumn<bool>("expected");
    QTest::newRow("true") << QByteArray("true") << false << true;
    QTest::newRow("TRUE") << QByteArray("TRUE") << false << true;
    QTest::newRow("1") << QByteArray("1") << false << true;
    QTest::newRow("false") << QByteArray("false") << true << false;
    QTest::newRow("0") << QByteArray("0") << true << false;
    QTest::newRow("typo keeps default off") << QByteArray("ture") << false << false;
    QTest::newRow("typo keeps default on") << QByteArray("yes please") << true << true;
    QTest::newRow("empty") << QByteArray("") << true << true;
}

void tst_settingsstore::readBool_acceptsOnlyBooleanWords()
{
    QFETCH(QByteArray, stored);
    QFETCH(bool, fallback);
    QFETCH(bool, expected);
    QTemporaryDir dir;
    const fs::path path = file(dir, "marlox.conf");
    QVERIFY(testenv::writeFile(path, "[settings]\nflag=" + stored + "\n"));
    const auto settings = openIniSettings(path);
    QCOMPARE(readBool(*settings, QStringLiteral("settings/flag"), fallback), expected);
}

void tst_settingsstore::generalSettings_defaultsWhenMissing()
{
    QTemporaryDir dir;
    const auto settings = openIniSettings(file(dir, "missing.conf"));
    const GeneralSettings values = readGeneralSettings(*settings);
    QCOMPARE(values.textSearchDelay, 700u);
    QCOMPARE(values.columnResizeDelay, 2000u);
    QCOMPARE(values.NumberRowsUsingDeviceID, false);
    QCOMPARE(values.enable_debuglog, false);
    QCOMPARE(values.tabs_lastopened, 0);
    QCOMPARE(values.disable_load_anndata, false);
    QCOMPARE(values.disable_devicemonitor, false);
    QCOMPARE(values.mountRetries, 4u);
    QCOMPARE(values.up_alwaysreplace, false);
    QCOMPARE(values.up_zipdisabled, false);
    QCOMPARE(values.up_copytocardmode, 0);
    QCOMPARE(values.up_deletemode, 0);
    QCOMPARE(values.exporter_csv_separator, QStringLiteral(";"));
    QVERIFY(!fs::exists(file(dir, "missing.conf")));
}

void tst_settingsstore::generalSettings_roundTrip()
{
    QTemporaryDir dir;
    const fs::path path = file(dir, "marlox.conf");
    GeneralSettings values;
    values.textSearchDelay = 250;
    values.columnResizeDelay = 4000;
    values.NumberRowsUsingDeviceID = true;
    values.enable_debuglog = true;
    values.tabs_lastopened = 2;
    values.disable_load_anndata = true;
    values.disable_devicemonitor = true;
    values.mountRetries = 7;
    values.up_alwaysreplace = true;
    values.up_zipdisabled = true;
    values.up_copytocardmode = 3;
    values.up_deletemode = 1;
    values.exporter_csv_separator = QStringLiteral("\t");
    {
        const auto settings = openIniSettings(path);
        writeGeneralSettings(*settings, values);
    }
    const QByteArray text = testenv::readFile(path);
    QVERIFY(text.startsWith("[settings]\n"));
    QVERIFY(text.contains("exporter_csv_separator="));

    const auto settings = openIniSettings(path);
    const GeneralSettings back = readGeneralSettings(*settings);
    QCOMPARE(back.textSearchDelay, 250u);
    QCOMPARE(back.columnResizeDelay, 4000u);
    QVERIFY(back.NumberRowsUsingDeviceID && back.enable_debuglog && back.disable_load_anndata);
    QVERIFY(back.disable_devicemonitor && back.up_alwaysreplace && back.up_zipdisabled);
    QCOMPARE(back.tabs_lastopened, 2);
    QCOMPARE(back.mountRetries, 7u);
    QCOMPARE(back.up_copytocardmode, 3);
    QCOMPARE(back.up_deletemode, 1);
    QCOMPARE(back.exporter_csv_separator, QStringLiteral("\t"));
}

void tst_settingsstore::generalSettings_limitsAppliedOnRead()
{
    QTemporaryDir dir;
    const fs::path path = file(dir, "marlox.conf");
    QVERIFY(testenv::writeFile(path, "[settings]\ntextSearchDelay=9000\ncolumnResizeDelay=100\n"
                                     "mountRetries=many\n"));
    const auto settings = openIniSettings(path);
    const GeneralSettings values = readGeneralSettings(*settings);
    QCOMPARE(values.textSearchDelay, 700u);
    QCOMPARE(values.columnResizeDelay, 2000u);
    QCOMPARE(values.mountRetries, 4u);
}

void tst_settingsstore::devicePreferences_missingKeysReadAsDefaults()
{
    QTemporaryDir dir;
    const fs::path path = file(dir, "devices.conf");
    QVERIFY(testenv::writeFile(path, "[AAA111]\nserial=AAA111\nreaderType=1\nvendor=1\n"
                                     "name=Reader\ndevicelabel=Kitchen\n"
                                     "[BBB222]\nserial=BBB222\n"
                                     "[CCC333]\nname=orphan\n"
                                     "[DDD444]\nserial=DDD444\nreaderType=one\nvendor=\n"));
    const auto settings = openIniSettings(path);
    const std::vector<DevicePreference> prefs = readDevicePreferences(*settings);
    QCOMPARE(prefs.size(), size_t(4));

    QCOMPARE(prefs[0].group, QStringLiteral("AAA111"));
    QCOMPARE(prefs[0].serial, std::string("AAA111"));
    QCOMPARE(prefs[0].readerType, 1);
    QCOMPARE(prefs[0].vendor, 1);
    QCOMPARE(prefs[0].name, std::string("Reader"));
    QCOMPARE(prefs[0].devicelabel, std::string("Kitchen"));

    QCOMPARE(prefs[1].readerType, -1);
    QCOMPARE(prefs[1].vendor, -1);
    QCOMPARE(prefs[1].name, std::string("No name"));
    QVERIFY(prefs[1].devicelabel.empty());

    QVERIFY(prefs[2].serial.empty());

    QCOMPARE(prefs[3].readerType, -1);
    QCOMPARE(prefs[3].vendor, -1);
}

void tst_settingsstore::devicePreferences_nonAsciiRoundTrip()
{
    QTemporaryDir dir;
    const fs::path path = file(dir, "devices.conf");
    {
        const auto settings = openIniSettings(path);
        settings->beginGroup(QStringLiteral("PB-ÜNÏ-7"));
        settings->setValue(settingskeys::devSerial, QStringLiteral("PB-ÜNÏ-7"));
        settings->setValue(settingskeys::devName, QStringLiteral("Читалка 📖"));
        settings->setValue(settingskeys::devReaderType, 1);
        settings->setValue(settingskeys::devVendor, 1);
        settings->endGroup();
    }
    const auto settings = openIniSettings(path);
    const std::vector<DevicePreference> prefs = readDevicePreferences(*settings);
    QCOMPARE(prefs.size(), size_t(1));
    QCOMPARE(prefs[0].serial, std::string("PB-ÜNÏ-7"));
    QCOMPARE(prefs[0].name, std::string("Читалка 📖"));
    QCOMPARE(prefs[0].readerType, 1);
}

void tst_settingsstore::settingsFileIsDirectory_reportsErrorAndDefaults()
{
    QTemporaryDir dir;
    const fs::path path = file(dir, "devices.conf");
    fs::create_directory(path);
    const auto settings = openIniSettings(path);
    QVERIFY(settings->status() != QSettings::NoError);
    QVERIFY(readDevicePreferences(*settings).empty());
    QCOMPARE(readGeneralSettings(*settings).textSearchDelay, 700u);
}

void tst_settingsstore::unreadableSettingsFile_reportsError()
{
    if (geteuid() == 0)
        QSKIP("permissions do not stop root from reading the file");
    QTemporaryDir dir;
    const fs::path path = file(dir, "marlox.conf");
    QVERIFY(testenv::writeFile(path, "[settings]\ntextSearchDelay=100\n"));
    fs::permissions(path, fs::perms::none);
    const auto settings = openIniSettings(path);
    QVERIFY(settings->status() != QSettings::NoError);
    QCOMPARE(readGeneralSettings(*settings).textSearchDelay, 700u);
}

QTEST_GUILESS_MAIN(tst_settingsstore)
#include "tst_settingsstore.moc"
