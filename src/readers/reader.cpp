#include "readers/reader.h"

#include "core/textconv.h"
#include "database/annotationimport.h"
#include "database/bookimport.h"
#include "database/dbdiscovery.h"
#include "readers/readerdata.h"

#include <QDebug>

#include <system_error>

namespace fs = std::filesystem;

Reader::Reader(const DetectionRecord &record)
    : readertype(record.kind)
    , serial(record.serial)
    , vendor(record.vendor)
{
}

Reader::~Reader()
{
    qDebug() << "Deleted reader object" << toQString(serial);
    // The extracted copies of a loaded backup live exactly as long as their reader.
    if (!tmppath.empty()) {
        std::error_code ec;
        fs::remove_all(tmppath, ec);
        if (ec)
            qWarning() << "Failed removing temporary files:" << toQString(tmppath)
                       << QString::fromStdString(ec.message());
        else
            qDebug() << "Removed temporary files:" << toQString(tmppath);
    }
}

ExplorerDbInfo Reader::get_db_main(const fs::path &mountpath) const
{
    if (vendor != vendor_pocketbook) {
        qWarning() << "Unsupported reader vendor (get_db_main)";
        return {{}, -1};
    }
    return findExplorerDb(mountpath);
}

int Reader::processProfiles(const fs::path &mountpath, int mode)
{
    if (vendor != vendor_pocketbook) {
        qWarning() << "Unsupported reader vendor (processProfiles)";
        return -1;
    }
    return scanProfiles(mountpath, mode, profiles);
}

std::vector<std::pair<int, std::string>> Reader::get_profilesIDs() const
{
    if (vendor != vendor_pocketbook) {
        qWarning() << "Unknown vendor  (get_profilesIDs)";
        return {};
    }
    return queryProfileIds(readertype < readertype_virtual_kept ? db_main : vdbpath);
}

bool Reader::isConnected()
{
    if (!owner || owner->devicescanner)
        return connected;
    std::error_code ec;
    const bool present = !maindevice.empty() && fs::exists(fs::symlink_status(mainpath, ec));
    if (ec && ec != std::errc::no_such_file_or_directory) {
        connected = false;
        qWarning() << "Can't find existing device path - removing device, under assumption device "
                      "was already removed without device monitor warning."
                   << QString::fromStdString(ec.message());
        return connected;
    }
    connected = present;
    return connected;
}

bool Reader::getAnnotations(int profileIndex)
{
    if (profileIndex < 0 || static_cast<size_t>(profileIndex) >= profiles.size()) {
        qWarning() << "Requested profile index out of bounds. Cancelling.";
        return false;
    }
    currentprofile = profileIndex;
    const fs::path &db = profiles[static_cast<size_t>(profileIndex)].dbPath;
    if (db.empty()) {
        qWarning() << "Local mirror db path was empty...";
        return false;
    }
    if (vendor != vendor_pocketbook)
        return false;
    const bool booksRead = importBooks(books, db);
    const bool annotationsRead = importAnnotations(annotations, db);
    return booksRead && annotationsRead;
}

bool Reader::readExplorerBooks(std::vector<ExplorerBook> &result, bool isDestination,
                               const ProfileMap &profileMap) const
{
    if (vendor != vendor_pocketbook)
        return false;
    return ::readExplorerBooks(db_main.empty() ? vdbpath : db_main, result, isDestination,
                               profileMap);
}
