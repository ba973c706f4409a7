#include "readers/virtualreader.h"

#include "backup/fileutils.h"
#include "backup/safewrite.h"
#include "core/datadir.h"
#include "core/globalsclass.h"
#include "core/textconv.h"
#include "readers/readerdata.h"

#include <QDebug>

#include <zip.h>

#include <iterator>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string mainPrefix = "databases/";
const std::string cardPrefix = "databases_card/";

bool endsWith(const std::string &text, const std::string &tail)
{
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool startsWith(const std::string &text, const std::string &head)
{
    return text.compare(0, head.size(), head) == 0;
}

struct ArchiveDb
{
    zip_uint64_t index = 0;
    fs::path target; // relative to the extraction folder
    uint64_t size = 0;
};

// Closes the archive on every path out.
struct ArchiveHandle
{
    zip_t *archive = nullptr;
    ~ArchiveHandle()
    {
        if (archive)
            zip_discard(archive);
    }
};

// Lists the databases of an archive; false with the reason when the archive must be refused.
bool listArchiveDatabases(zip_t *archive, std::vector<ArchiveDb> &found, std::string &why)
{
    const zip_int64_t count = zip_get_num_entries(archive, ZIP_FL_UNCHANGED);
    for (zip_int64_t i = 0; i < count; ++i) {
        const auto index = static_cast<zip_uint64_t>(i);
        const char *rawName = zip_get_name(archive, index, ZIP_FL_ENC_STRICT);
        if (!rawName) {
            qWarning() << "Archive entry name can't be decoded, refusing the archive";
            why = "The archive holds an entry whose name can't be read.";
            return false;
        }
        const std::string name(rawName);
        const std::optional<fs::path> relative = safeEntryPath(name);
        if (!relative) {
            qWarning() << "Archive entry with an unsafe path, refusing the archive:"
                       << toQString(name);
            why = "The archive holds an entry with an unsafe path: " + name;
            return false;
        }
        const bool onCard = startsWith(name, cardPrefix);
        if ((!onCard && !startsWith(name, mainPrefix)) || endsWith(name, "/"))
            continue;
        if (!isReaderDatabaseName(relative->filename().string()))
            continue;
        zip_stat_t stat;
        zip_stat_init(&stat);
        if (zip_stat_index(archive, index, 0, &stat) != 0 || !(stat.valid & ZIP_STAT_SIZE)) {
            why = "Can't read the size of archive entry " + name;
            return false;
        }
        qDebug() << "Found database file:" << toQString(name);
        // The entry's path below its top folder, below "card" for the card's databases.
        fs::path target = onCard ? fs::path("card") : fs::path();
        for (auto part = std::next(relative->begin()); part != relative->end(); ++part)
            target /= *part;
        found.push_back({index, target, stat.size});
    }
    return true;
}

bool extractDatabase(zip_t *archive, const ArchiveDb &db, const fs::path &folder, std::string &why)
{
    if (zipExtractIndex(archive, db.index, folder / db.target, false) == 1)
        return true;
    why = "Failed extracting file " + db.target.generic_string();
    return false;
}

} // namespace

fs::path virtualReadersFolder(const fs::path &datadir)
{
    return datadir / "tmp" / "virtual";
}

std::optional<fs::path> safeEntryPath(const std::string &name)
{
    if (name.empty())
        return std::nullopt;
    const fs::path raw(name);
    if (raw.is_absolute() || raw.has_root_name() || raw.has_root_directory())
        return std::nullopt;
    const fs::path normal = raw.lexically_normal();
    if (normal.empty() || normal == ".")
        return std::nullopt;
    if (*normal.begin() == "..")
        return std::nullopt;
    return normal;
}

bool isReaderDatabaseName(const std::string &fileName)
{
    for (const char *db : {"books.db", "explorer-3.db", "explorer-2.db"}) {
        const std::string name(db);
        if (endsWith(fileName, name) || endsWith(fileName, name + "-wal"))
            return true;
    }
    return false;
}

std::string ReaderData::newVirtualSerial()
{
    const std::string base = std::to_string(currentEpochSeconds());
    const fs::path parent = virtualReadersFolder(globals->datadir);
    for (int n = 1;; ++n) {
        const std::string serial = n == 1 ? base : base + "-" + std::to_string(n);
        std::error_code ec;
        if (!findReader(serial) && !fs::exists(fs::symlink_status(parent / serial, ec)))
            return serial;
    }
}

void ReaderData::removeStaleVirtualFolders()
{
    const fs::path parent = virtualReadersFolder(globals->datadir);
    std::error_code ec;
    if (!fs::is_directory(parent, ec))
        return;
    std::vector<fs::path> stale;
    {
        std::lock_guard<std::mutex> lock(readers_mutex);
        for (fs::directory_iterator it(parent, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string serial = it->path().filename().string();
            if (!findReaderLocked(serial))
                stale.push_back(it->path());
        }
    }
    for (const fs::path &folder : stale) {
        qDebug() << "Removing extracted files of an earlier run:" << toQString(folder);
        fs::remove_all(folder, ec);
    }
}

bool ReaderData::ScanDBfile(const fs::path &path, const std::string &serial,
                            const std::string &name, bool fromDialog, bool permanent, int vendor,
                            std::string *why)
{
    std::string reason;
    auto fail = [&](const std::string &text) {
        if (why)
            *why = text;
        return false;
    };
    if (path.empty()) {
        qDebug() << "ScanDBfile got empty path, quiting...";
        return fail("No file was chosen.");
    }
    if (serial.empty() || findReader(serial))
        return fail("A reader with this serial is already loaded.");

    DetectionRecord record;
    record.kind = permanent ? readertype_virtual_kept
                            : (fromDialog ? readertype_virtual_run : readertype_virtual_temp);
    record.serial = serial;
    record.name = name;
    record.permanent = permanent;
    std::error_code ec;
    fs::path extraction;

    if (path.extension() == ".db") {
        qDebug() << "ScanDBfile got regular .db file";
        if (!fs::is_regular_file(path, ec))
            return fail("The database file can't be found: " + path.string());
        record.vendor = vendor_pocketbook;
        record.path = path;
    } else if (path.extension() != ".zip") {
        qWarning() << "Unknown extension, stopping";
        return fail("Unknown extension, stopping: choose a .zip backup archive or an explorer "
                    ".db file.");
    } else {
        qDebug() << "ScanDBfile got .zip file...";
        int error = 0;
        ArchiveHandle handle;
        handle.archive = zip_open(path.c_str(), ZIP_RDONLY, &error);
        if (!handle.archive) {
            zip_error_t zipError;
            zip_error_init_with_code(&zipError, error);
            const std::string text = zip_error_strerror(&zipError);
            zip_error_fini(&zipError);
            qWarning() << "ZIP Archive open failed: " << QString::fromStdString(text);
            return fail("ZIP Archive open failed: " + text);
        }
        std::vector<ArchiveDb> databases;
        if (!listArchiveDatabases(handle.archive, databases, reason))
            return fail(reason);
        qDebug() << "Zip scan results:" << databases.size() << "db files, vendor:" << vendor;
        if (databases.empty())
            return fail("The archive holds no reader databases.");
        record.vendor = vendor_pocketbook;

        const fs::path parent = virtualReadersFolder(globals->datadir);
        fs::create_directories(parent, ec);
        uint64_t needed = 0;
        for (const ArchiveDb &db : databases)
            needed += db.size;
        const fs::space_info space = fs::space(parent, ec);
        if (ec)
            return fail("Can't read the free space of the data directory.");
        if (needed > space.available) {
            qWarning() << "Not enough free space to extract the archive" << needed
                       << space.available;
            return fail("Not enough free space in the data directory: the archive needs " +
                        humanReadableSize(static_cast<int64_t>(needed)) + ", " +
                        humanReadableSize(static_cast<int64_t>(space.available)) + " are free.");
        }
        // A fresh, empty folder per load: nothing of an earlier load can mix in.
        extraction = parent / serial;
        if (!fs::create_directory(extraction, ec) || ec)
            return fail("Can't create the extraction folder " + extraction.string());
        for (const ArchiveDb &db : databases) {
            if (!extractDatabase(handle.archive, db, extraction, reason)) {
                qWarning() << "Failed extracting file" << QString::fromStdString(reason);
                fs::remove_all(extraction, ec);
                return fail(reason);
            }
        }
        record.path = extraction;
    }

    addVirtualReader(record);
    const std::shared_ptr<Reader> reader = findReader(serial);
    if (!reader) {
        fs::remove_all(extraction, ec);
        return fail("The reader could not be added.");
    }
    std::lock_guard<std::mutex> lock(readers_mutex);
    reader->tmppath = extraction;
    const std::string fileName = path.filename().string();
    if (extraction.empty() && fileName.rfind("explorer-", 0) == 0) {
        // An explorer database on its own: read it as the reader's explorer database.
        reader->vdbpath = path;
        reader->dbversion = fileName == "explorer-2.db" ? 2 : 3;
    } else if (extraction.empty()) {
        // Any other database file is taken for a profile's books.db, so the viewer shows it.
        ProfileInfo profile;
        profile.name = "root";
        profile.directory = path.parent_path();
        profile.dbPath = path;
        profile.dbPathRelative = path.filename();
        profile.fromMirror = true;
        const FileSizeWriteTime file = getFileSizeWriteTime(path);
        profile.writeTime = file.writeTime;
        profile.size = file.size;
        reader->profiles.push_back(profile);
    } else if (fs::is_directory(extraction / "card", ec)) {
        reader->processProfiles(extraction / "card", 2);
    }
    return true;
}
