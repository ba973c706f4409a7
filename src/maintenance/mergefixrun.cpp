#include "maintenance/mergefixrun.h"

#include "core/textconv.h"

#include <QDateTime>
#include <QDebug>

#include <system_error>

namespace fs = std::filesystem;

MergeFixInspection inspectMergeFix(const std::vector<ProfileInfo> &profiles)
{
    MergeFixInspection inspection;
    for (size_t i = 0; i < profiles.size(); ++i) {
        const ProfileInfo &profile = profiles[i];
        if (profile.fromMirror) {
            qDebug() << "Skipping locally stored DB / empty DB";
            continue;
        }
        inspection.log += QStringLiteral(">> Inspecting DB: %1\n").arg(toQString(profile.dbPath));
        MergeFixProfile inspected;
        inspected.profile = profile;
        inspected.profileIndex = static_cast<int>(i);
        DuplicateCheckResult check = checkMergeFix(profile.dbPath);
        if (!check.error.isEmpty()) {
            // A locked or damaged database is a failure, never "nothing to fix".
            inspection.log += QStringLiteral("! Inspection failed: %1\n").arg(check.error);
            inspection.failed = true;
            inspected.inspectionError = check.error;
        } else if (check.rows.empty()) {
            qDebug() << "No duplicates found";
            inspection.log += QStringLiteral(">> Nothing found to fix\n");
        } else {
            qDebug() << "Duplicates found, adding set";
            inspected.rows = std::move(check.rows);
        }
        inspection.profiles.push_back(std::move(inspected));
    }
    return inspection;
}

MergeFixRunResult runMergeFix(const std::vector<MergeFixProfile> &profiles, const fs::path &runFolder,
                              const std::function<bool(const ProfileInfo &)> &stillConnected,
                              int busyTimeoutMs)
{
    MergeFixRunResult result;
    result.log += QStringLiteral("---- Starting mergefix ----\n");
    bool readerGone = false;
    for (const MergeFixProfile &entry : profiles) {
        qDebug() << "Starting MergeFix";
        const QString name = toQString(entry.profile.dbPath);
        if (entry.rows.empty()) {
            qDebug() << "No entries found for" << name;
            continue;
        }
        bool selected = false;
        for (const DuplicateRow &row : entry.rows)
            selected = selected || (row.selected && row.oid != row.maxOid);
        if (!selected) {
            qDebug() << "No entries selected to process for" << name;
            continue;
        }
        result.anySelected = true;
        if (readerGone || !stillConnected(entry.profile)) {
            readerGone = true;
            result.skipped.append(name);
            continue;
        }
        qDebug() << "Found entries to process for" << name;
        fs::path relative = entry.profile.dbPathRelative.parent_path();
        if (relative.empty() || relative.is_absolute())
            relative = entry.profile.name;
        MergeFixOptions options;
        options.copyFolder = runFolder.empty()
                                 ? fs::path()
                                 : runFolder / (entry.profile.onCard ? "card" : "main") / relative;
        options.busyTimeoutMs = busyTimeoutMs;
        result.log += QStringLiteral(">> Merging in DB: %1\n").arg(name);
        const MergeFixResult merged = performMergeFix(entry.profile.dbPath, entry.rows, options);
        result.log += merged.log;
        result.rowsChanged += merged.rowsChanged;
        result.errors = result.errors || merged.error;
    }
    if (!result.anySelected)
        result.log += QStringLiteral("No child items selected to merge");
    if (!result.skipped.isEmpty()) {
        result.errors = true;
        result.log += QStringLiteral("\n! The reader was disconnected; not written:\n") +
                      result.skipped.join(QLatin1Char('\n')) + QLatin1Char('\n');
        qWarning() << "Merge/fix stopped, reader disconnected; skipped:" << result.skipped;
    }
    return result;
}

QString mergeFixMessageText(const MergeFixRunResult &result, bool inspectionFailed)
{
    qDebug() << "Generating dialog texts";
    QString text;
    if (result.errors || inspectionFailed)
        text += QStringLiteral("<p><b>There were errors</b> (see details below)</p>");
    if (result.rowsChanged > 0)
        text += QStringLiteral("<p>%1 rows changed.<br />Please check details below.</p>")
                    .arg(result.rowsChanged);
    else
        text += QStringLiteral("<p>No annotations found to merge/fix.</p>");
    return text;
}

fs::path mergeFixCopyFolder(const fs::path &datadir, const std::string &serial)
{
    if (datadir.empty() || serial.empty())
        return {};
    const fs::path base = datadir / serial / "mergefixbackup";
    const std::string stamp =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss")).toStdString();
    std::error_code ec;
    fs::path folder = base / stamp;
    // Two runs within one second keep separate folders.
    for (int n = 2; fs::exists(fs::symlink_status(folder, ec)); ++n)
        folder = base / (stamp + "_" + std::to_string(n));
    return folder;
}
