#pragma once

#include <array>
#include <filesystem>
#include <string>

/// The one global-state object of a run: mode, version numbers, every path the program
/// uses and the view settings several windows read. Built once at start-up and shared
/// by std::shared_ptr; written only on the GUI thread.
class globalsClass
{
public:
    globalsClass(bool portable, const std::string &settingsdir, const std::string &datadir,
                 const std::filesystem::path &genericDataDir,
                 const std::filesystem::path &genericConfigDir);

    void loadViewSettings();
    void saveRowHighlightSettings() const;
    bool resetDatadirToDefault();
    void setDatadir(const std::filesystem::path &path);

    bool portablemode = false;
    bool settingsdirViaCLI = false;
    std::array<int, 4> versionNumbers{0, 0, 0, 0};
    std::filesystem::path genericDataDir;
    std::filesystem::path genericConfigDir;
    std::filesystem::path defaultDatadir;
    std::filesystem::path defaultSettingsGeneral;
    std::filesystem::path tempdir;
    std::filesystem::path appdir;
    std::filesystem::path settingsGeneral;
    std::filesystem::path settingsDevices;
    std::filesystem::path datadir;
    std::filesystem::path helpfile;
    std::filesystem::path logfile;
    std::string websiteURL;
    std::string updateManifestURL;
    bool debuglog = false;
    int rowHighlightColorMode = -1;
    bool rowHighlightColorAsText = false;
    unsigned int textSearchDelay = 0;
    unsigned int columnResizeDelay = 0;
    bool NumberRowsUsingDeviceID = false;
};

/// Parses "%d.%d.%d.%d" into four numbers; returns false when not even the first one reads.
bool parseVersionNumbers(const std::string &text, std::array<int, 4> &numbers);
