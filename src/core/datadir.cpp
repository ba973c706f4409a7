#include "core/datadir.h"

#include "core/globalsclass.h"

#include <QDebug>

#include <system_error>

namespace fs = std::filesystem;

fs::path datadirSubfolder(const globalsClass &globals, const std::string &serial, int kind)
{
    fs::path folder;
    switch (kind) {
    case localdbmirror:
        folder = globals.datadir / serial / "localdbmirror";
        break;
    case manualbackup:
        folder = globals.datadir / serial / "manualbackup";
        break;
    case tmp:
        folder = globals.datadir / "tmp";
        break;
    default:
        return {};
    }

    std::error_code ec;
    if (fs::exists(fs::symlink_status(folder, ec)))
        return folder;
    fs::create_directories(folder, ec);
    // create_directories reports false without an error for a path that appeared meanwhile,
    // so the folder's existence, not the return value, decides.
    if (ec || !fs::is_directory(folder, ec)) {
        qWarning() << "Failed creating datadir subfolder";
        return {};
    }
    return folder;
}
