// The local mirror: a copy of a reader's databases in the data directory, laid out as on
// the device, so that its annotations stay viewable while it is unplugged.

#include "readers/readerdata.h"

#include "backup/fileutils.h"
#include "core/datadir.h"
#include "core/textconv.h"

#include <QDebug>

#include <system_error>

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

// Copies one SQLite database and its write-ahead log. A database in WAL mode keeps its
// newest committed changes in "-wal" until a checkpoint, so the file alone is an old state.
// A stale "-wal" or "-shm" beside a newer copy could be replayed over it by SQLite: both go
// whenever the copy changes and the device has no log of its own.
bool mirrorDatabase(const fs::path &source, const fs::path &target, fs::copy_options options)
{
    const bool copied = copyFileSafe(source, target, options);

    fs::path sourceWal;
    try {
        sourceWal = getWalFile(source, false);
    } catch (const fs::filesystem_error &e) {
        qWarning() << "Local DB mirror: cannot read the write-ahead log of:" << toQString(source)
                   << QString::fromLocal8Bit(e.what());
    }
    const fs::path targetWal = withSuffix(target, "-wal");
    bool walCopied = false;
    if (!sourceWal.empty()) {
        // The log must match the database beside it: after a fresh copy of the database,
        // copy the log too, even if an older run left one with a newer time stamp.
        walCopied = copyFileSafe(sourceWal, targetWal,
                                 copied ? fs::copy_options::overwrite_existing : options);
        if (copied && !walCopied)
            removeIfPresent(targetWal);
    } else if (copied) {
        removeIfPresent(targetWal);
    }
    if (copied || walCopied)
        removeIfPresent(withSuffix(target, "-shm"));
    return copied || walCopied;
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
    const fs::copy_options mode =
        force ? fs::copy_options::overwrite_existing : fs::copy_options::update_existing;

    if ((part == 0 || part == 1) && !reader.db_main.empty()) {
        const fs::path target = mirror / reader.db_main_relative;
        if (makeParentFolders(target) && mirrorDatabase(reader.db_main, target, mode))
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
        if (mirrorDatabase(profile.dbPath, target, mode))
            result.dataChanged = true;
        else
            qDebug() << "Local DB mirror: not copied DB:" << toQString(profile.dbPath);
    }
    return result;
}
