// The two INI files: typed reads, the "settings" group round trip, device preferences and
// labels, all in UTF-8.

#include "core/settingsstore.h"
#include "support/testenv.h"
#include "support/testhelpers.h"

#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

#include <filesystem>

namespace fs = std::filesystem;

class tst_settingsstore : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    int m_files = 0;

    fs::path newFile() { return fs::path(m_dir.path().toStdString()) / (std::to_string(++m_files) + ".conf"); }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    // A hand-edited value of the wrong type falls back instead of reading as 0 or true.
    void typedReads_fallBackOnWrongTypes_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<qint64>("fallback");
        QTest::addColumn<qint64>("expected");
        QTest::newRow("bool TRUE") << "bool" << QByteArray("TRUE") << 0LL << 1LL;
        QTest::newRow("bool 0") << "bool" << QByteArray("0") << 1LL << 0LL;
        QTest::newRow("bool typo keeps off") << "bool" << QByteArray("ture") << 0LL << 0LL;
        QTest::newRow("bool typo keeps on") << "bool" << QByteArray("yes please") << 1LL << 1LL;
        QTest::newRow("bool empty") << "bool" << QByteArray("") << 1LL << 1LL;
        QTest::newRow("int negative") << "int" << QByteArray("-3") << 9LL << -3LL;
        QTest::newRow("int word") << "int" << QByteArray("one") << 9LL << 9LL;
        QTest::newRow("int beyond int") << "int" << QByteArray("2147483648") << 9LL << 9LL;
        QTest::newRow("uint beyond unsigned") << "uint" << QByteArray("4294967297") << 9LL << 9LL;
        QTest::newRow("uint negative") << "uint" << QByteArray("-5") << 9LL << 9LL;
        QTest::newRow("uint variant") << "uint" << QByteArray("@Variant(oops)") << 9LL << 9LL;
        QTest::newRow("int64 large") << "int64" << QByteArray("1700000000000") << 9LL << 1700000000000LL;
        QTest::newRow("int64 word") << "int64" << QByteArray("soon") << 9LL << 9LL;
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
        qint64 read = 0;
        if (type == "bool")
            read = readBool(*settings, key, fallback != 0);
        else if (type == "int")
            read = readInt(*settings, key, int(fallback));
        else if (type == "uint")
            read = readUInt(*settings, key, unsigned(fallback));
        else
            read = readInt64(*settings, key, fallback);
        QCOMPARE(read, expected);
    }

    void generalSettings_roundTripInUtf8()
    {
        const fs::path path = newFile();
        GeneralSettings values;
        values.textSearchDelay = 250;
        values.columnResizeDelay = 4000;
        values.NumberRowsUsingDeviceID = values.enable_debuglog = values.disable_load_anndata = true;
        values.disable_devicemonitor = values.up_alwaysreplace = values.up_zipdisabled = true;
        values.tabs_lastopened = 2;
        values.mountRetries = 7;
        values.up_copytocardmode = 3;
        values.up_deletemode = 1;
        values.exporter_csv_separator = QStringLiteral("\u00a7");
        writeGeneralSettings(*openIniSettings(path), values);
        QVERIFY(testenv::readFile(path).contains(QStringLiteral("\u00a7").toUtf8()));

        const GeneralSettings back = readGeneralSettings(*openIniSettings(path));
        QCOMPARE(back.textSearchDelay, 250u);
        QCOMPARE(back.columnResizeDelay, 4000u);
        QVERIFY(back.NumberRowsUsingDeviceID && back.enable_debuglog && back.disable_load_anndata);
        QVERIFY(back.disable_devicemonitor && back.up_alwaysreplace && back.up_zipdisabled);
        QCOMPARE(back.tabs_lastopened, 2);
        QCOMPARE(back.mountRetries, 7u);
        QCOMPARE(back.up_copytocardmode, 3);
        QCOMPARE(back.up_deletemode, 1);
        QCOMPARE(back.exporter_csv_separator, values.exporter_csv_separator);

        // Values out of their bounds, or of the wrong type, read as if absent.
        QVERIFY(testenv::writeFile(path, "[settings]\ntextSearchDelay=9000\ncolumnResizeDelay=100\n"
                                         "mountRetries=many\n"));
        const GeneralSettings limited = readGeneralSettings(*openIniSettings(path));
        const GeneralSettings defaults;
        QCOMPARE(limited.textSearchDelay, defaults.textSearchDelay);
        QCOMPARE(limited.columnResizeDelay, defaults.columnResizeDelay);
        QCOMPARE(limited.mountRetries, defaults.mountRetries);
    }

    void devicePreferences_handEditedUtf8File()
    {
        const fs::path path = newFile();
        QVERIFY(testenv::writeFile(path, "[PB-\xc3\x9cN\xc3\x8f-7]\nserial=PB-\xc3\x9cN\xc3\x8f-7\n"
                                         "readerType=1\nvendor=1\nname=\xd0\xa7\xd0\xb8\xd1\x82 \xf0\x9f\x93\x96\n"
                                         "[BBB222]\nserial=BBB222\nreaderType=one\nvendor=\n"
                                         "[CCC333]\nname=orphan\n"));
        const std::vector<DevicePreference> prefs = readDevicePreferences(*openIniSettings(path));
        QCOMPARE(prefs.size(), size_t(3));
        QCOMPARE(prefs[0].group, QStringLiteral("BBB222"));
        QCOMPARE(prefs[0].readerType, -1);
        QCOMPARE(prefs[0].vendor, -1);
        QVERIFY(prefs[1].serial.empty());
        QCOMPARE(prefs[2].serial, std::string("PB-\xc3\x9cN\xc3\x8f-7"));
        QCOMPARE(prefs[2].name, std::string("\xd0\xa7\xd0\xb8\xd1\x82 \xf0\x9f\x93\x96"));
        QCOMPARE(prefs[2].readerType, 1);
        QCOMPARE(prefs[2].vendor, 1);

        // A label the window writes comes back and is UTF-8 on disk.
        const QString label = QStringLiteral("K\u00fcche \u0427");
        QVERIFY(writeDeviceLabel(path, "BBB222", label));
        QCOMPARE(readDeviceLabel(path, "BBB222", {}), label);
        QVERIFY(testenv::readFile(path).contains(label.toUtf8()));
    }

    void unusableFile_reportsErrorAndDefaults_data()
    {
        QTest::addColumn<bool>("folder"); // else a file without read permission
        QTest::newRow("a folder") << true;
        QTest::newRow("unreadable") << false;
    }

    void unusableFile_reportsErrorAndDefaults()
    {
        QFETCH(bool, folder);
        if (!folder && geteuid() == 0)
            QSKIP("permissions do not stop root from reading the file");
        const fs::path path = newFile();
        if (folder) {
            fs::create_directory(path);
        } else {
            QVERIFY(testenv::writeFile(path, "[settings]\ntextSearchDelay=100\n[A]\nserial=A\n"));
            fs::permissions(path, fs::perms::none);
        }
        const auto settings = openIniSettings(path);
        QVERIFY(settings->status() != QSettings::NoError);
        QVERIFY(readDevicePreferences(*settings).empty());
        QCOMPARE(readGeneralSettings(*settings).textSearchDelay, GeneralSettings().textSearchDelay);
    }
};

QTEST_GUILESS_MAIN(tst_settingsstore)
#include "tst_settingsstore.moc"
