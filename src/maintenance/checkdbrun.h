#pragma once

#include "core/prompts.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <vector>

class Reader;

/// The integrity check of every database Marlox knows for a reader, without widgets. The
/// run itself (runCheckDb) is safe on a worker thread: it touches no Reader and opens its
/// own connections; it never writes to a database.

struct CheckDbTarget
{
    bool local = false; // a stored copy in the data directory, else the device's own file
    std::filesystem::path path;
};

/// The device's explorer database, its local copy `localMain` (may be empty) and every
/// profile's books.db. With `deviceConnected` false the device's files are left out.
std::vector<CheckDbTarget> checkDbTargets(const Reader &reader,
                                          const std::filesystem::path &localMain,
                                          bool deviceConnected);

/// The stored copy of a reader's explorer database: a virtual reader's own, else the local
/// mirror's in datadir/serial/"localdbmirror"; empty when there is none.
std::filesystem::path localMainDatabase(const Reader &reader, const std::filesystem::path &datadir);

struct CheckDbSummary
{
    int32_t deviceErrors = 0;
    int32_t localErrors = 0;
    int checkedCount = 0;
    QString details;
    bool cancelled = false;
};

/// Checks the targets in order; `cancel` is polled before each database, `progress` is told
/// the index of the database about to be checked.
CheckDbSummary runCheckDb(const std::vector<CheckDbTarget> &targets,
                          const std::atomic<bool> &cancel,
                          const std::function<void(int index)> &progress);

struct CheckDbVerdict
{
    QString text;
    Prompts::Icon icon = Prompts::Information;
};

CheckDbVerdict checkDbVerdict(const CheckDbSummary &summary);
