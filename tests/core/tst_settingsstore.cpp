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

    // A hand-edited value of the wrong type or out of range falls back instead of reading as 0,
    // true or a wrapped number.
    void typedReads_fallBackOnWrongTypes()
    {
        const fs::path path = newFile();
        QVERIFY(testenv::writeFile(path, "[s]\nbool=yes please\nint=one\nbig=2147483648\n"
                                         "huge=4294967297\nneg=-5\nlong=soon\n"));
        const auto settings = openIniSettings(path);
        QVERIFY(!readBool(*settings, QStringLiteral("s/bool"), false));
        QCOMPARE(readInt(*settings, QStringLiteral("s/int"), 9), 9);
        QCOMPARE(readInt(*settings, QStringLiteral("s/big"), 9), 9);
        QCOMPARE(readUInt(*settings, QStringLiteral("s/huge"), 9), 9u);
        QCOMPARE(readUInt(*settings, QStringLiteral("s/neg"), 9), 9u);
        QCOMPARE(readInt64(*settings, QStringLiteral("s/long"), 9), qint64(9));
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
                                   "[PB-ÜN-7]\nserial=PB-ÜN-7\nreaderType=1\nvendor=1\nname=Чит 📖\n"
                                   "[BBB222]\nserial=BBB222\nreaderType=one\nvendor=\n"));
        QStringList read;
        for (const DevicePreference &p : readDevicePreferences(*openIniSettings(path)))
            read << QString::fromStdString(p.serial + ' ' + p.name + ' ' +
                                           std::to_string(p.readerType) + ' ' +
                                           std::to_string(p.vendor));
        QCOMPARE(read, (QStringList{"BBB222 No name -1 -1", "PB-ÜN-7 Чит 📖 1 1"}));

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
