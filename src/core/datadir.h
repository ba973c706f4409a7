#pragma once

#include <filesystem>
#include <string>

class globalsClass;

/// The per-reader folders of the data directory. Values are fixed: callers pass them on.
enum datadirType : int { localdbmirror = 0, manualbackup = 2, tmp = 5 };

/// Returns datadir/serial/"localdbmirror", datadir/serial/"manualbackup" or datadir/"tmp",
/// creating it with its parents on first use; an empty path when the kind is unknown or the
/// folder cannot be created (warning "Failed creating datadir subfolder").
std::filesystem::path datadirSubfolder(const globalsClass &globals, const std::string &serial,
                                       int kind);
