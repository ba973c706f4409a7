#include "core/globalsclass.h"

#include "core/appinfo.h"
#include "core/settingsstore.h"
#include "core/textconv.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>

#include <cstdio>
#include <system_error>

namespace fs = std::filesystem;

bool parseVersionNumbers(const std::string &text, std::array<int, 4> &numbers)
{
    std::array<int, 4> parsed{0, 0, 0, 0};
    const int count = std::sscanf(text.c_str(), "%d.%d.%d.%d;", &parsed[0], &parsed[1],
                                  &parsed[2], &parsed[3]);
    if (count < 1)
        return false;
    numbers = parsed;
    return true;
}

globalsClass::globalsClass(bool portable, const std::string &settingsdir,
                           const std::string &datadirArg, const fs::path &dataLocation,
                           const fs::path &configLocation)
{
    portablemode = portable;
    settingsdirViaCLI = !settingsdir.empty();

    if (!parseVersionNumbers(appinfo::applicationVersion, versionNumbers))
        qWarning() << "Failed to convert versionstring.";

    genericDataDir = dataLocation;
    genericConfigDir = configLocation;
    defaultDatadir = genericDataDir / "marlox" / "data";
    defaultSettingsGeneral = genericConfigDir / "marlox" / "marlox.conf";

    std::error_code ec;
    tempdir = fs::temp_directory_path(ec);
    if (ec)
        tempdir = "/tmp";
    appdir = toPath(QDir::toNativeSeparators(QCoreApplication::applicationDirPath()));

    websiteURL = "https://marlox.org/";
    updateManifestURL = "https://marlox.org/files/marlox/version-linux-amd64.txt";
    rowHighlightColorMode = -1;

    if (portablemode) {
        settingsGeneral = appdir / "marlox.conf";
        datadir = appdir / "data";
        settingsDevices = datadir / "devices.conf";
        helpfile = appdir / "help" / "help_en.html";
        tempdir = appdir / "tmp";
        logfile = appdir / "marlox_debug.log";
    } else {
        helpfile = fs::path("/usr/share/doc/marlox") / "help" / "help_en.html";
        // A program installed under another prefix (/usr/local) keeps its help there.
        const fs::path installed = fs::path(MARLOX_INSTALL_DOCDIR) / "help" / "help_en.html";
        if (!fs::exists(helpfile, ec) && fs::exists(installed, ec))
            helpfile = installed;
        if (settingsdirViaCLI) {
            fs::path dir(settingsdir);
            const fs::path absolute = fs::absolute(dir, ec);
            settingsGeneral = (ec ? dir : absolute) / "marlox.conf";
            datadir = datadirArg;
            settingsDevices = datadir / "devices.conf";
        } else {
            settingsGeneral = defaultSettingsGeneral;
            const auto settings = openIniSettings(settingsGeneral);
            const QString stored = readString(*settings, settingskeys::pathsDatadir);
            datadir = stored.isEmpty() ? defaultDatadir : toPath(stored);
            settingsDevices = datadir / "devices.conf";
        }
        logfile = tempdir / "marlox_debug.log";
    }

    loadViewSettings();
}

void globalsClass::loadViewSettings()
{
    const auto settings = openIniSettings(settingsGeneral);
    textSearchDelay =
        limitTextSearchDelay(readUInt(*settings, settingskeys::textSearchDelay, 700));
    columnResizeDelay =
        limitColumnResizeDelay(readUInt(*settings, settingskeys::columnResizeDelay, 2000));
    NumberRowsUsingDeviceID = readBool(*settings, settingskeys::numberRowsUsingDeviceID, false);
    rowHighlightColorMode = readInt(*settings, settingskeys::rowHighlightColorMode, -1);
    rowHighlightColorAsText = readBool(*settings, settingskeys::rowHighlightColorAsText, false);
}

void globalsClass::saveRowHighlightSettings() const
{
    const auto settings = openIniSettings(settingsGeneral);
    settings->setValue(settingskeys::rowHighlightColorMode, rowHighlightColorMode);
    settings->setValue(settingskeys::rowHighlightColorAsText, rowHighlightColorAsText);
}

bool globalsClass::resetDatadirToDefault()
{
    if (datadir == defaultDatadir)
        return false;
    setDatadir(defaultDatadir);
    return true;
}

void globalsClass::setDatadir(const fs::path &path)
{
    datadir = path;
    settingsDevices = datadir / "devices.conf";
}
