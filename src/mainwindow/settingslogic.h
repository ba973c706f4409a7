#pragma once

#include "core/settingsstore.h"

#include <QString>
#include <QStringList>

#include <filesystem>
#include <vector>

class globalsClass;
class ReaderData;

/// What the settings dialog edits, read from and written to the general settings file
/// without any widget, so that every rule here is tested on real files.

/// The values of the dialog's controls. A combo box index of -1 means "no item selected".
struct SettingsForm
{
    GeneralSettings general;
    int updateInterval = 0;  // -1: the user was never asked about automatic checks
    QString storedCsvSeparator;
    QString datadir;         // "paths/datadir" as stored
};

struct SettingsLoad
{
    SettingsForm form;
    bool loaded = false;
    int status = 0; // QSettings::Status
    QString fileName;
};

namespace settingsform {

inline const QStringList csvSeparators{QStringLiteral(";"), QStringLiteral(",")};
constexpr int copyToCardModes = 3;
constexpr int deleteModes = 4;
constexpr int updateIntervals = 3;
constexpr int tabs = 4;

/// Reads the file; values the dialog cannot show fall back to their defaults, except a
/// non-empty CSV separator (kept in `storedCsvSeparator` to be written back unchanged).
SettingsLoad load(const std::filesystem::path &file);

/// The separator to store for the combo box's selection (-1: none, keep what was stored).
QString csvSeparatorToStore(int index, const QString &stored);
/// The update interval to store: the selection, else -1 (never asked).
int updateIntervalToStore(int index);

/// Writes every key, "paths/datadir" only when `writeDatadir`, then flushes the file and
/// checks the outcome. Returns the settings status (0 = saved).
int save(const std::filesystem::path &file, const SettingsForm &form, bool writeDatadir);

/// Why `candidate` cannot become the data directory, or an empty text when it can: it must
/// exist or be creatable, be writable, and lie neither on a reader's volume nor inside the
/// data directory's temporary folder. May create the folder.
QString datadirProblem(const std::filesystem::path &candidate, const globalsClass &globals,
                       const std::vector<std::filesystem::path> &readerVolumes);

/// The mount points of every reader the registry holds right now.
std::vector<std::filesystem::path> readerVolumes(ReaderData &registry);

} // namespace settingsform
