#pragma once

#include <QSettings>
#include <QString>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

/// The two INI files of the program: the general settings "marlox.conf" and the device
/// preferences "devices.conf". There is no long-lived settings object: every reader or
/// writer opens one on the file's explicit path for one operation and lets it go.

// Key names are stored in users' INI files: never rename, only add.
namespace settingskeys {
// group "settings"
inline const QString textSearchDelay = QStringLiteral("settings/textSearchDelay");
inline const QString columnResizeDelay = QStringLiteral("settings/columnResizeDelay");
inline const QString numberRowsUsingDeviceID = QStringLiteral("settings/NumberRowsUsingDeviceID");
inline const QString rowHighlightColorMode = QStringLiteral("settings/rowHighlightColorMode");
inline const QString rowHighlightColorAsText = QStringLiteral("settings/rowHighlightColorAsText");
inline const QString enableDebuglog = QStringLiteral("settings/enable_debuglog");
inline const QString tabsLastopened = QStringLiteral("settings/tabs_lastopened");
inline const QString disableLoadAnndata = QStringLiteral("settings/disable_load_anndata");
inline const QString disableDevicemonitor = QStringLiteral("settings/disable_devicemonitor");
inline const QString mountRetries = QStringLiteral("settings/mountRetries");
inline const QString upAlwaysreplace = QStringLiteral("settings/up_alwaysreplace");
inline const QString upZipdisabled = QStringLiteral("settings/up_zipdisabled");
inline const QString upCopytocardmode = QStringLiteral("settings/up_copytocardmode");
inline const QString upDeletemode = QStringLiteral("settings/up_deletemode");
inline const QString exporterCsvSeparator = QStringLiteral("settings/exporter_csv_separator");
inline const QString showbookmarks = QStringLiteral("settings/showbookmarks");
// group "paths"
inline const QString pathsDatadir = QStringLiteral("paths/datadir");
inline const QString pathsLastAnnExportfile = QStringLiteral("paths/last_ann_exportfile");
inline const QString pathsLastUploaddir = QStringLiteral("paths/last_uploaddir");
inline const QString pathsManualbackup = QStringLiteral("paths/manualbackup");
inline const QString pathsLastimport = QStringLiteral("paths/lastimport");
// group "updates"
inline const QString updateInterval = QStringLiteral("updates/updateInterval");
inline const QString lastupdate = QStringLiteral("updates/lastupdate");
// group "mainwindow"
inline const QString windowSize = QStringLiteral("mainwindow/size");
inline const QString windowPos = QStringLiteral("mainwindow/pos");
// group "viewer"
inline const QString lastReader = QStringLiteral("viewer/last_reader");
inline const QString searchauthor = QStringLiteral("viewer/searchauthor");
inline const QString searchtitle = QStringLiteral("viewer/searchtitle");
inline const QString searchtext = QStringLiteral("viewer/searchtext");
inline const QString sortOnDate = QStringLiteral("viewer/sortOnDate");
inline const QString sortOnTitleDate = QStringLiteral("viewer/sortOnTitleDate");
inline const QString sortOnTitlePage = QStringLiteral("viewer/sortOnTitlePage");
inline const QString searchCaseSensitive = QStringLiteral("viewer/SearchCaseSensitive");
inline const QString sortCaseSensitive = QStringLiteral("viewer/SortCaseSensitive");
inline const QString showBookmarks = QStringLiteral("viewer/ShowBookmarks");
inline const QString showNotesInline = QStringLiteral("viewer/Show_Notes_Inline");
inline const QString stickySelection = QStringLiteral("viewer/StickySelection");
inline const QString exportFormat = QStringLiteral("viewer/export_format");
inline const QString exportSortmode = QStringLiteral("viewer/export_sortmode");
inline const QString tablerowPositionTop = QStringLiteral("viewer/tablerow_position_top");
inline const QString searchFilterPreset = QStringLiteral("viewer/searchFilterPreset");
inline const QString viewerColumnsettings = QStringLiteral("viewer/table_columnsettings");
// group "uploader"
inline const QString uploaderColumnsettings = QStringLiteral("uploader/table_columnsettings");
// device preferences: keys inside the group named by the reader's serial
inline const QString devSerial = QStringLiteral("serial");
inline const QString devReaderType = QStringLiteral("readerType");
inline const QString devVendor = QStringLiteral("vendor");
inline const QString devName = QStringLiteral("name");
inline const QString devDevicelabel = QStringLiteral("devicelabel");
} // namespace settingskeys

/// Opens an INI settings object on an explicit file path, in UTF-8 like every reader and
/// writer of both files: a mix of codecs turns non-ASCII paths and names into mojibake. The
/// object writes back when destroyed.
std::unique_ptr<QSettings> openIniSettings(const std::filesystem::path &file);

// Typed reads that fall back to the default when the key is missing or holds a value of
// another type (a hand-edited "abc" where a number belongs), instead of reading it as 0.
unsigned int readUInt(const QSettings &settings, const QString &key, unsigned int fallback);
int readInt(const QSettings &settings, const QString &key, int fallback);
qint64 readInt64(const QSettings &settings, const QString &key, qint64 fallback);
bool readBool(const QSettings &settings, const QString &key, bool fallback);
QString readString(const QSettings &settings, const QString &key, const QString &fallback = {});

/// Search delay in ms: above 5000 is not a delay a user wants, so it falls back to 700.
unsigned int limitTextSearchDelay(unsigned int ms);
/// Row resize delay in ms: outside 500..5000 falls back to 2000.
unsigned int limitColumnResizeDelay(unsigned int ms);

/// Everything of group "settings" that the settings dialog edits.
struct GeneralSettings
{
    unsigned int textSearchDelay = 700;
    unsigned int columnResizeDelay = 2000;
    bool NumberRowsUsingDeviceID = false;
    bool enable_debuglog = false;
    int tabs_lastopened = 0;
    bool disable_load_anndata = false;
    bool disable_devicemonitor = false;
    unsigned int mountRetries = 4;
    bool up_alwaysreplace = false;
    bool up_zipdisabled = false;
    int up_copytocardmode = 0;
    int up_deletemode = 0;
    QString exporter_csv_separator = QStringLiteral(";");
};

GeneralSettings readGeneralSettings(const QSettings &settings);
void writeGeneralSettings(QSettings &settings, const GeneralSettings &values);

/// One group of the device preferences file, named by the reader's serial.
struct DevicePreference
{
    QString group;
    std::string serial;
    int readerType = -1;
    int vendor = -1;
    std::string name = "No name";
    std::string devicelabel;
};

/// Every group of the file in the order QSettings lists them; groups whose "serial" is
/// empty are returned too (callers decide), with `serial` empty.
std::vector<DevicePreference> readDevicePreferences(const QSettings &settings);

/// The user's label of a reader ("devicelabel" in the reader's group); `fallback` when none.
QString readDeviceLabel(const std::filesystem::path &devicesFile, const std::string &serial,
                        const QString &fallback = {});
/// Stores the label; false when the file cannot be written.
bool writeDeviceLabel(const std::filesystem::path &devicesFile, const std::string &serial,
                      const QString &label);

/// The device selector's text for a reader: "name [label] (connected)" when the device
/// preferences know the reader, else "name (connected)". Stores the name the device reports
/// for a connected reader whose stored name differs.
QString deviceEntryText(const std::filesystem::path &devicesFile, const QString &serial,
                        const QString &name, const QString &newlabel, bool isconnected);
