#include "core/settingsstore.h"

#include "core/textconv.h"

#include <QDebug>
#include <QTextCodec>

#include <limits>

std::unique_ptr<QSettings> openIniSettings(const std::filesystem::path &file)
{
    auto settings = std::make_unique<QSettings>(toQString(file), QSettings::IniFormat);
    settings->setIniCodec("UTF-8");
    return settings;
}

unsigned int readUInt(const QSettings &settings, const QString &key, unsigned int fallback)
{
    // Read wide and range-checked: a QVariant cuts a larger number down without a word.
    bool ok = false;
    const qulonglong result = settings.value(key).toULongLong(&ok);
    return ok && result <= std::numeric_limits<unsigned int>::max() ? unsigned(result) : fallback;
}

int readInt(const QSettings &settings, const QString &key, int fallback)
{
    bool ok = false;
    const qlonglong result = settings.value(key).toLongLong(&ok);
    return ok && result >= std::numeric_limits<int>::min() &&
                   result <= std::numeric_limits<int>::max()
               ? int(result)
               : fallback;
}

qint64 readInt64(const QSettings &settings, const QString &key, qint64 fallback)
{
    const QVariant value = settings.value(key);
    bool ok = false;
    const qint64 result = value.toLongLong(&ok);
    return ok ? result : fallback;
}

bool readBool(const QSettings &settings, const QString &key, bool fallback)
{
    const QVariant value = settings.value(key);
    if (!value.isValid())
        return fallback;
    if (value.type() == QVariant::Bool)
        return value.toBool();
    // INI values come back as text; QVariant would call any non-empty text other than
    // "0" and "false" true, so a mistyped value silently switched an option on.
    const QString text = value.toString().trimmed().toLower();
    if (text == QLatin1String("true") || text == QLatin1String("1"))
        return true;
    if (text == QLatin1String("false") || text == QLatin1String("0"))
        return false;
    return fallback;
}

QString readString(const QSettings &settings, const QString &key, const QString &fallback)
{
    const QVariant value = settings.value(key);
    if (!value.isValid() || !value.canConvert<QString>())
        return fallback;
    return value.toString();
}

unsigned int limitTextSearchDelay(unsigned int ms)
{
    return ms > 5000 ? 700 : ms;
}

unsigned int limitColumnResizeDelay(unsigned int ms)
{
    return (ms < 500 || ms > 5000) ? 2000 : ms;
}

GeneralSettings readGeneralSettings(const QSettings &settings)
{
    using namespace settingskeys;
    const GeneralSettings defaults;
    GeneralSettings values;
    values.textSearchDelay =
        limitTextSearchDelay(readUInt(settings, textSearchDelay, defaults.textSearchDelay));
    values.columnResizeDelay =
        limitColumnResizeDelay(readUInt(settings, columnResizeDelay, defaults.columnResizeDelay));
    values.NumberRowsUsingDeviceID =
        readBool(settings, numberRowsUsingDeviceID, defaults.NumberRowsUsingDeviceID);
    values.enable_debuglog = readBool(settings, enableDebuglog, defaults.enable_debuglog);
    values.tabs_lastopened = readInt(settings, tabsLastopened, defaults.tabs_lastopened);
    values.disable_load_anndata =
        readBool(settings, disableLoadAnndata, defaults.disable_load_anndata);
    values.disable_devicemonitor =
        readBool(settings, disableDevicemonitor, defaults.disable_devicemonitor);
    values.mountRetries = readUInt(settings, mountRetries, defaults.mountRetries);
    values.up_alwaysreplace = readBool(settings, upAlwaysreplace, defaults.up_alwaysreplace);
    values.up_zipdisabled = readBool(settings, upZipdisabled, defaults.up_zipdisabled);
    values.up_copytocardmode = readInt(settings, upCopytocardmode, defaults.up_copytocardmode);
    values.up_deletemode = readInt(settings, upDeletemode, defaults.up_deletemode);
    values.exporter_csv_separator =
        readString(settings, exporterCsvSeparator, defaults.exporter_csv_separator);
    return values;
}

void writeGeneralSettings(QSettings &settings, const GeneralSettings &values)
{
    using namespace settingskeys;
    settings.setValue(textSearchDelay, values.textSearchDelay);
    settings.setValue(columnResizeDelay, values.columnResizeDelay);
    settings.setValue(numberRowsUsingDeviceID, values.NumberRowsUsingDeviceID);
    settings.setValue(enableDebuglog, values.enable_debuglog);
    settings.setValue(tabsLastopened, values.tabs_lastopened);
    settings.setValue(disableLoadAnndata, values.disable_load_anndata);
    settings.setValue(disableDevicemonitor, values.disable_devicemonitor);
    settings.setValue(mountRetries, values.mountRetries);
    settings.setValue(upAlwaysreplace, values.up_alwaysreplace);
    settings.setValue(upZipdisabled, values.up_zipdisabled);
    settings.setValue(upCopytocardmode, values.up_copytocardmode);
    settings.setValue(upDeletemode, values.up_deletemode);
    settings.setValue(exporterCsvSeparator, values.exporter_csv_separator);
}

std::vector<DevicePreference> readDevicePreferences(const QSettings &settings)
{
    using namespace settingskeys;
    std::vector<DevicePreference> result;
    const QStringList groups = settings.childGroups();
    result.reserve(static_cast<size_t>(groups.size()));
    for (const QString &group : groups) {
        const QString prefix = group + QLatin1Char('/');
        DevicePreference pref;
        pref.group = group;
        pref.serial = readString(settings, prefix + devSerial).toStdString();
        pref.readerType = readInt(settings, prefix + devReaderType, -1);
        pref.vendor = readInt(settings, prefix + devVendor, -1);
        pref.name = readString(settings, prefix + devName, QStringLiteral("No name")).toStdString();
        pref.devicelabel = readString(settings, prefix + devDevicelabel).toStdString();
        result.push_back(std::move(pref));
    }
    return result;
}

namespace {

QString groupKey(const std::string &serial, const QString &key)
{
    return QString::fromStdString(serial) + QLatin1Char('/') + key;
}

} // namespace

QString readDeviceLabel(const std::filesystem::path &devicesFile, const std::string &serial,
                        const QString &fallback)
{
    // Always UTF-8: the window writes this file as UTF-8, and reading it with another codec
    // would turn every non-ASCII label into mojibake.
    const auto settings = openIniSettings(devicesFile);
    return readString(*settings, groupKey(serial, settingskeys::devDevicelabel), fallback);
}

bool writeDeviceLabel(const std::filesystem::path &devicesFile, const std::string &serial,
                      const QString &label)
{
    const auto settings = openIniSettings(devicesFile);
    settings->setValue(groupKey(serial, settingskeys::devDevicelabel), label);
    settings->sync();
    return settings->status() == QSettings::NoError;
}

QString deviceEntryText(const std::filesystem::path &devicesFile, const QString &serial,
                        const QString &name, const QString &newlabel, bool isconnected)
{
    if (serial.isEmpty())
        return {};
    const QString connected = isconnected ? QStringLiteral(" (connected)") : QString();
    const auto settings = openIniSettings(devicesFile);
    if (!settings->childGroups().contains(serial)) {
        qDebug() << "No device prefs entry found for:" << serial << settings->fileName();
        return name + connected;
    }
    settings->beginGroup(serial);
    const QString stored = readString(*settings, settingskeys::devName);
    if (isconnected && stored != name) {
        qDebug() << "Stored/current reader name:" << stored << name;
        settings->setValue(settingskeys::devName, name);
    }
    const QString label = readString(*settings, settingskeys::devDevicelabel, newlabel);
    settings->endGroup();
    return QStringLiteral("%1 [%2]%3").arg(name.isEmpty() ? stored : name, label, connected);
}
