#pragma once

#include "database/maintenancequeries.h"
#include "database/profileinfo.h"

#include <QString>
#include <QStringList>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

/// The merge/fix run over every profile database of a reader, without widgets: inspection
/// for the dialog's tree, the writes with a copy of each database taken first, and the texts
/// of the result box. GUI thread (the queries open their own connections).

/// One inspected profile database and its duplicate sets.
struct MergeFixProfile
{
    ProfileInfo profile;
    int profileIndex = -1; // in the reader's profile list
    std::vector<DuplicateRow> rows;
    QString inspectionError; // empty when the database was read
};

struct MergeFixInspection
{
    std::vector<MergeFixProfile> profiles;
    QString log;
    bool failed = false; // a database could not be inspected
};

/// Inspects the device's own profile databases; stored copies (mirror, virtual reader) are
/// never written and so not inspected.
MergeFixInspection inspectMergeFix(const std::vector<ProfileInfo> &profiles);

struct MergeFixRunResult
{
    int32_t rowsChanged = 0;
    bool errors = false;
    bool anySelected = false;
    QString log;
    QStringList skipped; // databases not written because the reader was gone
};

/// Writes the selected rows of each profile. Before each database `stillConnected` is asked
/// (a reader pulled out stops the run); the database is first copied below `runFolder`.
MergeFixRunResult runMergeFix(const std::vector<MergeFixProfile> &profiles,
                              const std::filesystem::path &runFolder,
                              const std::function<bool(const ProfileInfo &)> &stillConnected,
                              int busyTimeoutMs = 1000);

/// The result box's rich text.
QString mergeFixMessageText(const MergeFixRunResult &result, bool inspectionFailed);

/// A new time-stamped folder name below datadir/serial/"mergefixbackup" for one run's copies
/// (not created yet); empty without a data directory.
std::filesystem::path mergeFixCopyFolder(const std::filesystem::path &datadir,
                                         const std::string &serial);
