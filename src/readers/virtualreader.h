#pragma once

#include <filesystem>
#include <optional>
#include <string>

/// Loading a backup archive or an explorer database file as a virtual reader.
///
/// An archive's databases are extracted into a fresh folder of their own below the data
/// directory's "tmp/virtual/": "databases/" entries keep their path below the folder,
/// "databases_card/" entries go below its "card/" folder and are read as the card's profiles.
/// Every database is taken with its "-wal" file, so changes still in the log are seen. The
/// folder goes with its reader (and, for readers of an earlier run, at the next start).

/// The folder below the data directory that holds every extraction folder.
std::filesystem::path virtualReadersFolder(const std::filesystem::path &datadir);

/// An archive entry name as a path below the extraction folder: none for an empty name, an
/// absolute one, or one that leaves the folder once "." and ".." are resolved.
std::optional<std::filesystem::path> safeEntryPath(const std::string &name);

/// Which databases of an archive are read: the explorer databases and profile databases,
/// each also with "-wal" appended.
bool isReaderDatabaseName(const std::string &fileName);
