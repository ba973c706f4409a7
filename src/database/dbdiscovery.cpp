#include "database/dbdiscovery.h"

#include "backup/fileutils.h"
#include "core/textconv.h"

#include <QDebug>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QVariant>

#include <algorithm>
#include <cstdint>
#include <initializer_list>

namespace fs = std::filesystem;

namespace {

// Mirror profiles first, then the most recently written books.db.
bool sortsBefore(const ProfileInfo &a, const ProfileInfo &b)
{
    if (a.fromMirror != b.fromMirror)
        return a.fromMirror;
    return a.writeTime > b.writeTime;
}

// After the records it ties with, so that a rescan does not reshuffle equal write times.
void insertSorted(std::vector<ProfileInfo> &profiles, ProfileInfo profile)
{
    const auto position =
        std::find_if(profiles.begin(), profiles.end(),
                     [&profile](const ProfileInfo &other) { return sortsBefore(profile, other); });
    profiles.insert(position, std::move(profile));
}

ProfileInfo makeProfile(const std::string &name, const fs::path &mountPath,
                        const fs::path &directoryRelative, const fs::path &dbRelative, int mode)
{
    ProfileInfo profile;
    profile.name = name;
    profile.directory = mountPath / directoryRelative;
    profile.dbPath = mountPath / dbRelative;
    profile.dbPathRelative = dbRelative;
    profile.fromMirror = mode == -1;
    profile.onCard = mode == 2;
    const FileSizeWriteTime file = getFileSizeWriteTime(profile.dbPath);
    profile.writeTime = file.writeTime;
    profile.size = file.size;
    return profile;
}

// Returns 1 when the list changed. A scan refreshes only the record it made before: a
// device scan the device's record of that name on the same volume, a scan of a mirror or
// virtual reader's folder the folder's record. A mirrored reader thus lists each profile once
// from its mirror (shown first) and once from the attached device (the mirror copies it),
// whichever folder was scanned first.
int addOrRefresh(std::vector<ProfileInfo> &profiles, ProfileInfo profile)
{
    auto existing =
        std::find_if(profiles.begin(), profiles.end(), [&profile](const ProfileInfo &other) {
            return other.name == profile.name && other.fromMirror == profile.fromMirror &&
                   (profile.fromMirror || other.onCard == profile.onCard);
        });
    if (existing != profiles.end()) {
        if (existing->writeTime >= profile.writeTime && existing->directory == profile.directory)
            return 0;
        // A newer write time moves the record: the list must stay sorted.
        profiles.erase(existing);
        insertSorted(profiles, std::move(profile));
        return 1;
    }
    if (profile.size <= 0) {
        qWarning() << "Not adding profile DB: received no filesize";
        return 0;
    }
    insertSorted(profiles, std::move(profile));
    return 1;
}

} // namespace

ExplorerDbInfo findExplorerDb(const fs::path &mountPath)
{
    // Readers keep the database in a folder of its own; some have it directly in system/.
    const fs::path system = mountPath / "system";
    try {
        for (const int16_t version : {int16_t{3}, int16_t{2}}) {
            const std::string name = "explorer-" + std::to_string(version);
            for (const fs::path &candidate :
                 {system / name / (name + ".db"), system / (name + ".db")}) {
                if (fs::exists(candidate)) {
                    qDebug().noquote()
                        << QStringLiteral("Found explorerDB: ") + toQString(candidate);
                    return {candidate, version};
                }
            }
        }
    } catch (const fs::filesystem_error &error) {
        qWarning().noquote() << QStringLiteral("! Failed checking for db main: ") +
                                    QString::fromStdString(error.what());
    }
    return {};
}

int scanProfiles(const fs::path &mountPath, int mode, std::vector<ProfileInfo> &profiles)
{
    qDebug() << "Looking at path for profiles:" << toQString(mountPath) << mode;
    const fs::path rootRelative = fs::path("system") / "config";
    const fs::path profilesRelative = fs::path("system") / "profiles";

    int changes = 0;
    try {
        if (mode < 1 && fs::exists(mountPath / rootRelative)) {
            qDebug() << "Found device root profile.";
            changes += addOrRefresh(profiles, makeProfile("root", mountPath, rootRelative,
                                                          rootRelative / "books.db", mode));
        } else if (!fs::exists(mountPath / profilesRelative)) {
            qWarning() << "Neither root/profile paths found..." << toQString(mountPath) << mode;
            return 0;
        } else {
            qDebug() << "Found device profile directory, processing...";
            for (const fs::directory_entry &entry :
                 fs::directory_iterator(mountPath / profilesRelative)) {
                const std::string folderName = entry.path().filename().string();
                if (folderName.empty() || folderName[0] == '.' || !entry.is_directory()) {
                    qDebug() << "Skipping profilepath:" << toQString(entry.path());
                    continue;
                }
                qDebug() << "Processing profilepath:" << toQString(entry.path());
                const fs::path directoryRelative = profilesRelative / folderName;
                changes += addOrRefresh(
                    profiles, makeProfile(folderName, mountPath, directoryRelative,
                                          directoryRelative / "config" / "books.db", mode));
            }
        }
    } catch (const fs::filesystem_error &error) {
        qWarning() << "Checking profile path existence failed. Likely device is not fully mounted: "
                      "increase mountdelay?"
                   << QString::fromStdString(error.what());
    }

    if (profiles.empty())
        qWarning() << "Found no profile databases";
    return changes;
}

std::vector<std::pair<int, std::string>> queryProfileIds(const fs::path &explorerDb)
{
    const QString connection = QStringLiteral("profilequery");
    std::vector<std::pair<int, std::string>> result;
    {
        // Every QSqlDatabase and QSqlQuery must be gone before removeDatabase().
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(toQString(explorerDb));
        // Read-only also keeps SQLite from creating a missing file.
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (!db.open()) {
            qWarning().noquote() << QStringLiteral("ERROR: ") + db.lastError().text();
        } else {
            QSqlQuery query(db);
            query.setForwardOnly(true);
            if (!query.exec(QStringLiteral("SELECT id, name FROM profiles"))) {
                qWarning().noquote()
                    << QStringLiteral("Query exec ERROR: ") + query.lastError().text();
            } else {
                while (query.next())
                    result.emplace_back(query.value(0).toInt(),
                                        query.value(1).toString().toStdString());
            }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(connection);
    return result;
}
