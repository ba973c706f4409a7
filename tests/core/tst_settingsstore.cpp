// The two INI files: typed reads, the "settings" group round trip, device preferences and
// labels, all in UTF-8.

#include "core/settingsstore.h"
#include "support/testenv.h"

#include <QTemporaryDir>
#include <QtTest>

#include <filesystem>

namespace fs = std::filesystem;

class tst_settingsstore : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    int m_files = 0;

    fs::path newFile()
    {
        return fs::path(m_dir.path().toStdString()) / (std::to_string(++m_files) + ".conf");
    }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    // A hand-edited value of the wrong type falls back instead of reading as 0 or true.
    void typedReads_fallBackOnWrongTypes_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<qint64>("fallback");
        QTest::addColumn<qint64>("expected");
        const auto row = [](const char *type, const char *stored, qint64 fallback, qint64 read) {
            QTest::addRow("%s %s", type, stored) << type << QByteArray(stored) << fallback << read;
        };
        row("bool", "TRUE", 0, 1);
        row("bool", "ture", 0, 0);
        row("bool", "yes please", 1, 1);
        row("int", "-3", 9, -3);
        row("int", "one", 9, 9);
        row("int", "2147483648", 9, 9);
        row("uint", "4294967297", 9, 9);
        row("uint", "-5", 9, 9);
        row("int64", "1700000000000", 9, 1700000000000);
        row("int64", "soon", 9, 9);
    }

    void typedReads_fallBackOnWrongTypes()
    {
        QFETCH(QString, type);
        QFETCH(QByteArray, stored);
        QFETCH(qint64, fallback);
        QFETCH(qint64, expected);
        const fs::path path = newFile();
        QVERIFY(testenv::writeFile(path, "[settings]\nkey=" + stored + "\n"));
        const auto settings = openIniSettings(path);
        const QString key = QStringLiteral("settings/key");
        qint64 read = readInt64(*settings, key, fallback);
        if (type == "bool")
            read = readBool(*settings, key, fallback != 0);
        else if (type == "int")
            read = readInt(*settings, key, int(fallback));
        else if (type == "uint")
            read = readUInt(*settings, key, unsigned(fallback));
        QCOMPARE(read, expected);
    }

    // Every value written comes back: written again, it gives the same file.
    void generalSettings_roundTripInUtf8()
    {
        GeneralSettings values;
        values.textSearchDelay = 250;
        values.columnResizeDelay = 4000;
        values.NumberRowsUsingDeviceID = values.enable_debuglog = values.disable_load_anndata =
            true;
        values.disable_devicemonitor = values.up_alwaysreplace = values.up_zipdisabled = true;
        values.tabs_lastopened = values.up_copytocardmode = 3;
        values.mountRetries = 7;
        values.up_deletemode = 1;
        values.exporter_csv_separator = QStringLiteral("\u00a7");
        const fs::path first = newFile(), second = newFile();
        writeGeneralSettings(*openIniSettings(first), values);
        writeGeneralSettings(*openIniSettings(second),
                             readGeneralSettings(*openIniSettings(first)));
        QCOMPARE(testenv::readFile(second), testenv::readFile(first));
        QVERIFY(testenv::readFile(first).contains(QStringLiteral("=\u00a7\n").toUtf8()));
    }

    void devicePreferences_handEditedUtf8File()
    {
        const fs::path path = newFile();
        QVERIFY(testenv::writeFile(path,
                                   "[PB-\xc3\x9cN-7]\nserial=PB-\xc3\x9cN-7\nreaderType=1\n"
                                   "vendor=1\nname=\xd0\xa7\xd0\xb8\xd1\x82 \xf0\x9f\x93\x96\n"
                                   "[BBB222]\nserial=BBB222\nreaderType=one\nvendor=\n"));
        const std::vector<DevicePreference> prefs = readDevicePreferences(*openIniSettings(path));
        QCOMPARE(prefs.size(), size_t(2));
        QCOMPARE(prefs[0].readerType, -1);
        QCOMPARE(prefs[0].vendor, -1);
        QCOMPARE(prefs[1].serial, std::string("PB-\xc3\x9cN-7"));
        QCOMPARE(prefs[1].name, std::string("\xd0\xa7\xd0\xb8\xd1\x82 \xf0\x9f\x93\x96"));
        QCOMPARE(prefs[1].readerType, 1);
        QCOMPARE(prefs[1].vendor, 1);

        // A label the window writes comes back and is UTF-8 on disk.
        const QString label = QStringLiteral("K\u00fcche \u0427");
        QVERIFY(writeDeviceLabel(path, "BBB222", label));
        QCOMPARE(readDeviceLabel(path, "BBB222", {}), label);
        QVERIFY(testenv::readFile(path).contains(label.toUtf8()));
    }

    void unusableFile_reportsErrorAndDefaults()
    {
        const fs::path path = newFile();
        fs::create_directory(path);
        const auto settings = openIniSettings(path);
        QVERIFY(settings->status() != QSettings::NoError);
        QVERIFY(readDevicePreferences(*settings).empty());
        QCOMPARE(readGeneralSettings(*settings).textSearchDelay, GeneralSettings().textSearchDelay);
    }
};

QTEST_GUILESS_MAIN(tst_settingsstore)
#include "tst_settingsstore.moc"
