#pragma once

#include "database/annotationrecord.h"
#include "database/bookinfo.h"
#include "database/explorerbook.h"
#include "database/profileinfo.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

class ReaderData;

/// What a reader is. Stored as "readerType" in the device preferences: never renumber.
enum readerObjectType : int32_t {
    readertype_device = 0,       // attached right now
    readertype_localmirror = 1,  // remembered, with a mirror of its databases in the data dir
    readertype_virtual_kept = 2, // loaded from an archive or database file, kept
    readertype_virtual_run = 3,  // loaded from an archive or database file for this run
    readertype_virtual_temp = 4  // used by the reading-progress transfer, never shown
};

/// Who made the reader. Stored as "vendor": never renumber.
enum readerVendor : int32_t { vendor_unknown = -1, vendor_pocketbook = 1 };

/// How a reader came to the registry: from udev, the device preferences or a file.
struct DetectionRecord
{
    int32_t kind = readertype_device;
    int32_t vendor = vendor_pocketbook;
    std::string serial;
    std::string devnode; // udev DEVNAME
    std::string instance; // udev ID_INSTANCE
    std::string name;
    std::filesystem::path path; // a virtual reader's folder or file
    bool permanent = false;
};

/// One reader: an attached device, a local mirror or a virtual reader. Owned by the
/// registry's list (std::shared_ptr); windows keep weak or shared pointers while they work.
class Reader
{
public:
    explicit Reader(const DetectionRecord &record);
    ~Reader();
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    /// The explorer database below a mount; version -1 for a vendor we cannot read.
    ExplorerDbInfo get_db_main(const std::filesystem::path &mountpath) const;
    /// Scans the profiles below a mount into `profiles`; -1 for a vendor we cannot read.
    int processProfiles(const std::filesystem::path &mountpath, int mode);
    /// The explorer database's (id, name) profile list.
    std::vector<std::pair<int, std::string>> get_profilesIDs() const;
    /// Whether the main memory is still mounted; updates `connected` (see the registry).
    bool isConnected();
    /// Loads profile `profileIndex` into `books` and `annotations` (books first); true
    /// only when both were read. The index becomes `currentprofile`.
    bool getAnnotations(int profileIndex);
    /// The explorer database's books and reading progress (see readExplorerBooks).
    bool readExplorerBooks(std::vector<ExplorerBook> &result, bool isDestination,
                           const ProfileMap &profileMap) const;

    int32_t readertype = readertype_device;
    bool connected = false;
    std::string serial;
    std::filesystem::path mainpath;
    std::filesystem::path cardpath;
    std::string name;
    std::string cardname;
    std::string maindevice;
    std::string carddevice;
    int32_t vendor = vendor_pocketbook;
    int16_t dbversion = 0;
    std::filesystem::path db_main;
    std::filesystem::path db_main_relative;
    std::filesystem::path vdbpath;
    std::vector<ProfileInfo> profiles;
    int currentprofile = 0;
    std::vector<AnnotationRecord> annotations;
    std::map<int32_t, BookInfo> books;
    ReaderData *owner = nullptr;
    std::filesystem::path tmppath;
};
