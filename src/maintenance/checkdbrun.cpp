#include "maintenance/checkdbrun.h"

#include "core/textconv.h"
#include "database/maintenancequeries.h"
#include "readers/reader.h"

#include <QDebug>

#include <system_error>

namespace fs = std::filesystem;

std::vector<CheckDbTarget> checkDbTargets(const Reader &reader, const fs::path &localMain,
                                          bool deviceConnected)
{
    qDebug() << "Starting checkDB tool...";
    std::vector<CheckDbTarget> targets;
    if (reader.db_main.empty())
        qDebug() << "No device db main registered.";
    else if (deviceConnected)
        targets.push_back({false, reader.db_main});
    if (localMain.empty())
        qDebug() << "No local db main registered.";
    else
        targets.push_back({true, localMain});
    for (const ProfileInfo &profile : reader.profiles) {
        // A disconnected reader's paths point at a mount that is gone: no verdict to give.
        if (!profile.fromMirror && !deviceConnected)
            continue;
        targets.push_back({profile.fromMirror, profile.dbPath});
    }
    return targets;
}

fs::path localMainDatabase(const Reader &reader, const fs::path &datadir)
{
    if (!reader.vdbpath.empty())
        return reader.vdbpath;
    if (reader.db_main_relative.empty() || datadir.empty() || reader.serial.empty())
        return {};
    const fs::path copy = datadir / reader.serial / "localdbmirror" / reader.db_main_relative;
    std::error_code ec;
    return fs::is_regular_file(copy, ec) ? copy : fs::path();
}

CheckDbSummary runCheckDb(const std::vector<CheckDbTarget> &targets,
                          const std::atomic<bool> &cancel,
                          const std::function<void(int index)> &progress)
{
    CheckDbSummary summary;
    for (size_t i = 0; i < targets.size(); ++i) {
        if (cancel.load()) {
            summary.cancelled = true;
            summary.details += QStringLiteral("! Cancelled: %1 of %2 databases checked.\n\n")
                                   .arg(summary.checkedCount)
                                   .arg(targets.size());
            break;
        }
        if (progress)
            progress(static_cast<int>(i));
        const CheckDbTarget &target = targets[i];
        summary.details += QStringLiteral("Checking %1 DB: %2\n\n")
                               .arg(target.local ? QStringLiteral("local")
                                                 : QStringLiteral("device"),
                                    toQString(target.path));
        const IntegrityResult result = checkDB(target.path);
        if (result.errors > 0)
            (target.local ? summary.localErrors : summary.deviceErrors) += result.errors;
        summary.details += result.report;
        ++summary.checkedCount;
    }
    return summary;
}

CheckDbVerdict checkDbVerdict(const CheckDbSummary &summary)
{
    if (summary.checkedCount == 0)
        return {QStringLiteral("No databases found to check"), Prompts::Information};
    if (summary.deviceErrors == 0 && summary.localErrors == 0 && !summary.cancelled)
        return {QStringLiteral("No errors were found."), Prompts::Information};
    if (summary.deviceErrors == 0 && summary.localErrors == 0)
        return {QStringLiteral("The check was cancelled; no errors in the databases checked."),
                Prompts::Warning};
    return {QStringLiteral("<b>Errors were found (Device: %1; Local: %2)</b>,<br />see 'show "
                           "details'.<br />Consult the manual (help button) for more info.")
                .arg(summary.deviceErrors)
                .arg(summary.localErrors),
            Prompts::Warning};
}
