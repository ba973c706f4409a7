#include "mainwindow/settingslogic.h"

#include "core/globalsclass.h"
#include "core/textconv.h"
#include "readers/readerdata.h"

#include <QDebug>

#include <fcntl.h>
#include <unistd.h>

#include <mutex>

namespace fs = std::filesystem;

namespace settingsform {

namespace {

int inRange(int value, int count, int fallback)
{
    return (value >= 0 && value < count) ? value : fallback;
}

/// `inner` equals `outer` or lies below it (both made absolute, links resolved where they exist).
bool isWithin(const fs::path &inner, const fs::path &outer)
{
    std::error_code ec;
    const fs::path a = fs::weakly_canonical(fs::absolute(inner, ec), ec).lexically_normal();
    const fs::path b = fs::weakly_canonical(fs::absolute(outer, ec), ec).lexically_normal();
    if (b.empty())
        return false;
    auto ai = a.begin();
    for (auto bi = b.begin(); bi != b.end(); ++bi, ++ai) {
        if (bi->empty())
            continue; // a trailing separator
        if (ai == a.end() || *ai != *bi)
            return false;
    }
    return true;
}

bool canWriteInto(const fs::path &dir)
{
    // access() asks the permission bits only; a real file tells about read-only mounts too.
    const std::string probe = (dir / ".marlox-write-test-XXXXXX").string();
    std::vector<char> name(probe.begin(), probe.end());
    name.push_back('\0');
    const int fd = ::mkstemp(name.data());
    if (fd < 0)
        return false;
    ::close(fd);
    ::unlink(name.data());
    return true;
}

} // namespace

SettingsLoad load(const fs::path &file)
{
    SettingsLoad result;
    const auto settings = openIniSettings(file);
    result.fileName = settings->fileName();
    result.status = int(settings->status());
    result.loaded = settings->status() == QSettings::NoError;
    if (!result.loaded)
        return result;

    SettingsForm &form = result.form;
    form.general = readGeneralSettings(*settings);
    const GeneralSettings defaults;
    GeneralSettings &g = form.general;
    g.tabs_lastopened = inRange(g.tabs_lastopened, tabs, defaults.tabs_lastopened);
    g.up_copytocardmode = inRange(g.up_copytocardmode, copyToCardModes, defaults.up_copytocardmode);
    g.up_deletemode = inRange(g.up_deletemode, deleteModes, defaults.up_deletemode);
    if (g.mountRetries < 1 || g.mountRetries > 10)
        g.mountRetries = defaults.mountRetries;
    // An empty separator would glue every CSV column together.
    if (g.exporter_csv_separator.isEmpty())
        g.exporter_csv_separator = defaults.exporter_csv_separator;
    form.storedCsvSeparator = g.exporter_csv_separator;

    form.datadir = readString(*settings, settingskeys::pathsDatadir);
    form.updateInterval = readInt(*settings, settingskeys::updateInterval, -1);
    if (form.updateInterval >= updateIntervals || form.updateInterval < -1)
        form.updateInterval = -1;
    return result;
}

QString csvSeparatorToStore(int index, const QString &stored)
{
    if (index >= 0 && index < csvSeparators.size())
        return csvSeparators.at(index);
    return stored.isEmpty() ? csvSeparators.first() : stored;
}

int updateIntervalToStore(int index)
{
    return inRange(index, updateIntervals, -1);
}

int save(const fs::path &file, const SettingsForm &form, bool writeDatadir)
{
    const auto settings = openIniSettings(file);
    if (settings->status() != QSettings::NoError)
        return int(settings->status());
    writeGeneralSettings(*settings, form.general);
    if (writeDatadir)
        settings->setValue(settingskeys::pathsDatadir, form.datadir);
    settings->setValue(settingskeys::updateInterval, form.updateInterval);
    // QSettings finds out about a file it cannot write only when it writes it.
    settings->sync();
    return int(settings->status());
}

QString datadirProblem(const fs::path &candidate, const globalsClass &globals,
                       const std::vector<fs::path> &readerVolumes)
{
    if (candidate.empty())
        return QStringLiteral("No folder was chosen.");
    for (const fs::path &volume : readerVolumes) {
        if (!volume.empty() && isWithin(candidate, volume))
            return QStringLiteral("The folder lies on a reader: %1").arg(toQString(volume));
    }
    if (!globals.datadir.empty() && isWithin(candidate, globals.datadir / "tmp"))
        return QStringLiteral("The folder lies inside the data directory's temporary folder.");

    std::error_code ec;
    const fs::file_status status = fs::status(candidate, ec);
    if (fs::exists(status) && !fs::is_directory(status))
        return QStringLiteral("This is not a folder.");
    if (!fs::exists(status)) {
        fs::create_directories(candidate, ec);
        if (ec)
            return QStringLiteral("The folder cannot be created: %1")
                .arg(QString::fromStdString(ec.message()));
    }
    if (!canWriteInto(candidate))
        return QStringLiteral("The folder is not writable.");
    return {};
}

std::vector<fs::path> readerVolumes(ReaderData &registry)
{
    std::vector<fs::path> volumes;
    const std::lock_guard<std::mutex> lock(registry.readers_mutex);
    for (const auto &reader : registry.readers) {
        // Only a plugged-in device has volumes; a mirror's paths lie in the data directory.
        if (!reader || (reader->readertype != readertype_device && !reader->connected))
            continue;
        for (const fs::path &path : {reader->mainpath, reader->cardpath}) {
            if (!path.empty())
                volumes.push_back(path);
        }
    }
    return volumes;
}

} // namespace settingsform
