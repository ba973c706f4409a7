// The local mirror: a copy of a reader's databases in the data directory, laid out as on
// the device, so that its annotations stay viewable while it is unplugged.

#include "readers/readerdata.h"

#include "backup/fileutils.h"
#include "core/datadir.h"
#include "core/textconv.h"

#include <QDebug>

#include <system_error>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

fs::path withSuffix(const fs::path &path, const char *suffix)
{
    fs::path result = path;
    result += suffix;
    return result;
}

void removeIfPresent(const fs::path &path)
{
    std::error_code ec;
    fs::remove(path, ec);
}

// Whether the mirror's copy is no longer the device's file. Mirrored files carry their
// source's modification time, so any other time, older included, means a change: a FAT
// volume read in another time zone or a reader with a slow clock writes older times.
bool differs(const fs::path &source, const fs::path &copy)
{
    std::error_code sourceError;
    std::error_code copyError;
    if (fs::file_size(source, sourceError) != fs::file_size(copy, copyError) || sourceError ||
        copyError)
        return true;
    return fs::last_write_time(source, sourceError) != fs::last_write_time(copy, copyError) ||
           sourceError || copyError;
}

// Copies one SQLite database and its write-ahead log as one unit. A database in WAL mode
// keeps its newest committed changes in "-wal" until a checkpoint, and a log only fits the
// database it was written for: when either file changed, both are copied, and the mirror's
// "-shm" (an index of the old log) goes, as does a log the device no longer has. Old files
// are replaced only once every new copy is complete.
bool mirrorDatabase(const fs::path &source, const fs::path &target, bool force)
{
    fs::path sourceWal;
    try {
        sourceWal = getWalFile(source, false);
    } catch (const fs::filesystem_error &e) {
        qWarning() << "Local DB mirror: cannot read the write-ahead log of:" << toQString(source)
                   << QString::fromLocal8Bit(e.what());
        return false;
    }
    const fs::path targetWal = withSuffix(target, "-wal");
    std::error_code ec;
    const bool changed =
        force || differs(source, target) ||
        (sourceWal.empty() ? fs::exists(targetWal, ec) : differs(sourceWal, targetWal));
    if (!changed)
        return false;

    std::vector<std::pair<fs::path, fs::path>> unit{{source, target}};
    if (!sourceWal.empty())
        unit.emplace_back(sourceWal, targetWal);
    if (!copyFilesReplacing(unit))
        return false;
    if (sourceWal.empty())
        removeIfPresent(targetWal);
    removeIfPresent(withSuffix(target, "-shm"));
    return true;
}

bool makeParentFolders(const fs::path &target)
{
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    if (ec) {
        qWarning() << "Local DB mirror: Failed creating directory for:" << toQString(target)
                   << QString::fromStdString(ec.message());
        return false;
    }
    return true;
}

} // namespace

LocalMirrorResult ReaderData::localDBmirror(Reader &reader, int part, bool force)
{
    LocalMirrorResult result;
    const fs::path mirror = datadirSubfolder(reader.serial, localdbmirror);
    if (mirror.empty()) {
        qWarning() << "Directory does not exist for localDBmirror";
        return result;
    }
    qDebug() << "Starting local db mirror";

    if ((part == 0 || part == 1) && !reader.db_main.empty()) {
        const fs::path target = mirror / reader.db_main_relative;
        if (makeParentFolders(target) && mirrorDatabase(reader.db_main, target, force))
            result.mainCopied = true;
        else
            qDebug() << "Local DB mirror: failed copying db_main.";
    }

    qDebug() << "Local DB mirror: book db(s)";
    for (const ProfileInfo &profile : reader.profiles) {
        // Profiles found in the mirror itself are its own copies, not the device's.
        if (profile.fromMirror)
            continue;
        if ((part == 0 && profile.onCard) || (part == 2 && !profile.onCard))
            continue;
        const fs::path target = mirror / profile.dbPathRelative;
        if (!makeParentFolders(target))
            continue;
        if (mirrorDatabase(profile.dbPath, target, force))
            result.dataChanged = true;
        else
            qDebug() << "Local DB mirror: not copied DB:" << toQString(profile.dbPath);
    }
    return result;
}
