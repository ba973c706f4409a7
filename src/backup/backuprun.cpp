#include "backup/backuprun.h"

#include "backup/fileutils.h"
#include "backup/safewrite.h"
#include "core/textconv.h"
#include "readers/reader.h"
#include "uploader/filecategories.h"

#include <QDebug>
#include <QRegularExpression>
#include <QString>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cstring>
#include <iomanip>
#include <locale>
#include <sstream>

namespace fs = std::filesystem;

namespace {

constexpr size_t commentLimit = 249;

struct Walked
{
    fs::path path;
    fs::path relative;
    bool directory = false;
    uint64_t size = 0;
};

struct WalkSinks
{
    std::function<void(const Walked &)> entry;
    std::function<void(const fs::path &, const std::string &)> failure;
    std::function<void(const fs::path &)> skipped;
};

std::string errnoText()
{
    return std::strerror(errno);
}

// Opens the file the way libzip will later, so that an unreadable file is found while
// listing and not in the middle of writing gigabytes. O_NOFOLLOW and O_NONBLOCK: a link or
// a FIFO swapped in after the listing must not be followed or block.
bool checkReadableFile(const fs::path &path, uint64_t &size, std::string &why)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        why = errnoText();
        return false;
    }
    struct stat info {};
    const bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (!ok)
        why = "not a regular file";
    size = ok ? uint64_t(info.st_size) : 0;
    ::close(fd);
    return ok;
}

bool fileEntry(const fs::path &path, bool openFiles, uint64_t &size, std::string &why)
{
    if (openFiles)
        return checkReadableFile(path, size, why);
    std::error_code ec;
    size = fs::file_size(path, ec);
    if (ec)
        why = ec.message();
    return !ec;
}

// Depth-first, in the order the directory iterator yields the entries, like a recursive
// iterator; but a folder that can't be opened or read to its end is reported and the walk
// goes on with the next entry instead of ending. Links are never followed. False when
// cancelled.
bool walkFolder(const fs::path &root, const std::vector<std::string> &skipNames, bool openFiles,
                const std::atomic<bool> &cancel, const WalkSinks &sinks)
{
    struct Level
    {
        fs::directory_iterator it;
        fs::path relative;
    };
    std::error_code ec;
    fs::directory_iterator first(root, ec);
    if (ec) {
        sinks.failure(root, ec.message());
        return true;
    }
    std::vector<Level> stack;
    stack.push_back({std::move(first), {}});
    while (!stack.empty()) {
        if (cancel.load())
            return false;
        if (stack.back().it == fs::directory_iterator()) {
            stack.pop_back();
            continue;
        }
        const bool atTop = stack.size() == 1;
        const fs::directory_entry entry = *stack.back().it;
        const fs::path relative = stack.back().relative / entry.path().filename();
        stack.back().it.increment(ec);
        if (ec) {
            sinks.failure(entry.path().parent_path(), "folder not read to its end: " + ec.message());
            stack.back().it = fs::directory_iterator();
            ec.clear();
        }

        const fs::file_status status = entry.symlink_status(ec);
        if (ec) {
            sinks.failure(entry.path(), ec.message());
            continue;
        }
        if (fs::is_directory(status)) {
            const std::string name = entry.path().filename().string();
            if (atTop && std::find(skipNames.begin(), skipNames.end(), name) != skipNames.end()) {
                qDebug() << "Ignoring directory:" << toQString(entry.path());
                continue;
            }
            fs::directory_iterator below(entry.path(), ec);
            if (ec) {
                sinks.failure(entry.path(), ec.message());
                continue;
            }
            sinks.entry({entry.path(), relative, true, 0});
            stack.push_back({std::move(below), relative});
        } else if (fs::is_regular_file(status)) {
            uint64_t size = 0;
            std::string why;
            if (fileEntry(entry.path(), openFiles, size, why))
                sinks.entry({entry.path(), relative, false, size});
            else
                sinks.failure(entry.path(), why);
        } else {
            sinks.skipped(entry.path());
        }
    }
    return true;
}

// One source: a folder is walked below its entry folder, a file is one entry.
bool walkSource(const BackupSource &source, const std::vector<std::string> &skipNames,
                bool openFiles, const std::atomic<bool> &cancel, const WalkSinks &sinks)
{
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(source.source, ec);
    if (!fs::exists(status)) {
        qWarning() << "Does not exist:" << toQString(source.source);
        sinks.failure(source.source, "does not exist");
        return true;
    }
    if (fs::is_directory(status))
        return walkFolder(source.source, skipNames, openFiles, cancel, sinks);
    if (!fs::is_regular_file(status)) {
        sinks.skipped(source.source);
        return true;
    }
    uint64_t size = 0;
    std::string why;
    if (fileEntry(source.source, openFiles, size, why))
        sinks.entry({source.source, {}, false, size});
    else
        sinks.failure(source.source, why);
    return true;
}

void addDatabase(std::vector<BackupSource> &list, const fs::path &db, const fs::path &relative,
                 bool onCard)
{
    if (db.empty())
        return;
    const fs::path entry = fs::path(onCard ? "databases_card" : "databases") / relative;
    list.push_back({db, entry, true});
    // A WAL file holds changes not yet in the database: without it the copy is out of date.
    fs::path wal = db;
    wal += "-wal";
    std::error_code ec;
    const uintmax_t size = fs::file_size(wal, ec);
    if (!ec && size > 0) {
        fs::path walEntry = entry;
        walEntry += "-wal";
        list.push_back({wal, walEntry, true});
    }
}

void addFolder(std::vector<BackupSource> &list, const fs::path &memory, std::string_view folder,
               const std::string &prefix, bool compress)
{
    if (memory.empty())
        return;
    const fs::path source = memory / fs::path(std::string(folder));
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(source, ec)))
        return;
    list.push_back({source, fs::path(prefix) / fs::path(std::string(folder)), compress});
}

std::string replaceForField(std::string text)
{
    for (char &c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == ';' || byte < 0x20 || byte == 0x7f)
            c = '_';
    }
    return text;
}

// Cuts `text` by up to `excess` bytes without splitting a UTF-8 character; returns the bytes cut.
size_t shortenUtf8(std::string &text, size_t excess)
{
    size_t keep = text.size() > excess ? text.size() - excess : 0;
    while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80)
        --keep;
    const size_t cut = text.size() - keep;
    text.resize(keep);
    return cut;
}

struct CallbackState
{
    const std::function<void(double)> *progress;
    const std::atomic<bool> *cancel;
};

void onZipProgress(zip_t *, double fraction, void *state)
{
    const auto *callbacks = static_cast<CallbackState *>(state);
    if (*callbacks->progress)
        (*callbacks->progress)(fraction);
}

int onZipCancel(zip_t *, void *state)
{
    return static_cast<CallbackState *>(state)->cancel->load() ? 1 : 0;
}

std::string zipErrorText(int code)
{
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    std::string text = zip_error_strerror(&error);
    zip_error_fini(&error);
    return text;
}

bool flushFile(const fs::path &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok && syncFolder(path.parent_path());
}


} // namespace

std::vector<BackupSource> backupSources(const Reader &reader, BackupCategory category)
{
    std::vector<BackupSource> list;
    switch (category) {
    case BackupCategory::databases:
        addDatabase(list, reader.db_main, reader.db_main_relative, false);
        for (const ProfileInfo &profile : reader.profiles) {
            if (!profile.fromMirror)
                addDatabase(list, profile.dbPath, profile.dbPathRelative, profile.onCard);
        }
        break;
    case BackupCategory::dicts: {
        const FileDestination dicts = fileDestination(filekind_dict);
        if (dicts.allowedMain)
            addFolder(list, reader.mainpath, dicts.mainFolder, "dicts", false);
        if (dicts.allowedCard)
            addFolder(list, reader.cardpath, dicts.cardFolder, "dicts_card", false);
        break;
    }
    case BackupCategory::apps:
        addFolder(list, reader.mainpath, fileDestination(filekind_app).mainFolder, "apps", true);
        break;
    case BackupCategory::fonts:
        addFolder(list, reader.mainpath, fileDestination(filekind_font).mainFolder, "fonts", true);
        break;
    case BackupCategory::main:
        if (!reader.mainpath.empty())
            list.push_back({reader.mainpath, "files_main", false});
        break;
    case BackupCategory::card:
        if (!reader.cardpath.empty())
            list.push_back({reader.cardpath, "files_card", false});
        break;
    }
    return list;
}

std::vector<std::string> backupSkipNames(int vendor)
{
    if (vendor == vendor_pocketbook)
        return {"system", "applications"};
    return {};
}

BackupSize surveyBackupSize(const std::vector<BackupSource> &sources,
                            const std::vector<std::string> &skipNames,
                            const std::atomic<bool> &cancel)
{
    BackupSize size;
    WalkSinks sinks;
    sinks.entry = [&size](const Walked &walked) {
        if (!walked.directory) {
            size.bytes += walked.size;
            ++size.files;
        }
    };
    sinks.failure = [&size](const fs::path &, const std::string &) { ++size.problems; };
    sinks.skipped = [](const fs::path &) {};
    for (const BackupSource &source : sources) {
        if (!walkSource(source, skipNames, false, cancel, sinks) || cancel.load()) {
            size.cancelled = true;
            break;
        }
    }
    return size;
}

std::string sanitisedBackupLabel(const std::string &label)
{
    QString text = QString::fromStdString(label).trimmed();
    text.replace(QRegularExpression(QStringLiteral("\\W"),
                                    QRegularExpression::UseUnicodePropertiesOption),
                 QStringLiteral("_"));
    return text.toStdString();
}

std::string backupArchiveName(const std::string &serial, std::time_t when,
                              const std::string &sanitisedLabel)
{
    std::tm local{};
    localtime_r(&when, &local);
    std::ostringstream stamp;
    stamp.imbue(std::locale::classic());
    stamp << std::put_time(&local, "%Y%b%d_%H%M");
    std::string name = "backup_manual-" + serial + "---" + stamp.str();
    if (!sanitisedLabel.empty())
        name += "-" + sanitisedLabel;
    return name + ".zip";
}

std::string backupComment(const std::string &version, int vendor, const std::string &serial,
                          const std::string &name, const std::string &label)
{
    const std::string head = "Marlox;" + replaceForField(version) + ";" + std::to_string(vendor) +
                             ";0;0;0;0;";
    std::string fields[3] = {replaceForField(serial), replaceForField(name),
                             replaceForField(label)};
    const size_t full = head.size() + fields[0].size() + fields[1].size() + fields[2].size() + 2;
    if (full > commentLimit) {
        qWarning() << "Zip comment possibly truncated:"
                   << QString::fromStdString(head + fields[0] + ";" + fields[1] + ";" + fields[2])
                   << full;
        size_t excess = full - commentLimit;
        for (int i = 2; i >= 0 && excess > 0; --i) {
            const size_t cut = shortenUtf8(fields[i], excess);
            excess = cut >= excess ? 0 : excess - cut;
        }
    }
    return head + fields[0] + ";" + fields[1] + ";" + fields[2];
}

BackupResult runBackup(const BackupRequest &request, const std::atomic<bool> &cancel)
{
    BackupResult result;
    int code = 0;
    zip_t *archive = zip_open(request.archive.c_str(), ZIP_CREATE | ZIP_EXCL | ZIP_CHECKCONS, &code);
    if (archive == nullptr) {
        result.error = zipErrorText(code);
        result.outcome = BackupResult::openFailed;
        qWarning() << "ZIP Archive open failed: " << QString::fromStdString(result.error);
        return result;
    }
    std::string comment = request.comment;
    if (zip_set_archive_comment(archive, comment.data(), zip_uint16_t(comment.size())) < 0) {
        qWarning() << "Failed writing zip archive comment:" << QString::fromStdString(comment)
                   << comment.size();
        comment.clear();
    }

    zip_int64_t added = 0;
    std::vector<uint64_t> databaseEntries;
    bool isDatabase = false;
    fs::path entryBase;
    bool compress = false;
    WalkSinks sinks;
    sinks.entry = [&](const Walked &walked) {
        const std::string entry = (walked.relative.empty() ? entryBase : entryBase / walked.relative)
                                      .generic_string();
        zip_int64_t index = -1;
        if (walked.directory) {
            index = zip_dir_add(archive, entry.c_str(), ZIP_FL_ENC_UTF_8);
        } else {
            // libzip opens the file only in zip_close(): it must still be readable then.
            zip_source_t *data = zip_source_file(archive, walked.path.c_str(), 0, 0);
            if (data != nullptr) {
                index = zip_file_add(archive, entry.c_str(), data, ZIP_FL_ENC_UTF_8);
                if (index < 0)
                    zip_source_free(data);
            }
        }
        if (index < 0) {
            qWarning() << "Failed adding file/dir:" << toQString(walked.path)
                       << "with dest:" << QString::fromStdString(entry);
            result.failed.push_back(walked.path.string() + ": " + zip_strerror(archive));
            return;
        }
        if (walked.directory || !compress)
            zip_set_file_compression(archive, zip_uint64_t(index), ZIP_CM_STORE, 0);
        else
            zip_set_file_compression(archive, zip_uint64_t(index), ZIP_CM_DEFLATE, 1);
        if (isDatabase)
            databaseEntries.push_back(uint64_t(index));
        ++added;
        result.copied.push_back(walked.path.string());
    };
    sinks.failure = [&result](const fs::path &path, const std::string &why) {
        qWarning() << "Not archived:" << toQString(path) << QString::fromStdString(why);
        result.failed.push_back(path.string() + ": " + why);
    };
    sinks.skipped = [&result](const fs::path &path) { result.skipped.push_back(path.string()); };

    bool walked = true;
    for (const BackupSource &source : request.sources) {
        entryBase = source.entryPath;
        compress = source.compress;
        isDatabase = source.entryPath.begin() != source.entryPath.end() &&
                     source.entryPath.begin()->string().rfind("databases", 0) == 0;
        walked = walkSource(source, request.skipNames, true, cancel, sinks) && !cancel.load();
        if (!walked)
            break;
    }
    if (!walked) {
        qDebug() << "User cancelled backup.";
        zip_discard(archive);
        result.outcome = BackupResult::cancelled;
        return result;
    }

    CallbackState state{&request.progress, &cancel};
    zip_register_progress_callback_with_state(archive, 0.01, onZipProgress, nullptr, &state);
    zip_register_cancel_callback_with_state(archive, onZipCancel, nullptr, &state);

    // The outcome is what zip_close() did, whatever the cancel flag says by now: a cancel
    // clicked after the last file was written changes nothing on disk.
    if (zip_close(archive) == 0) {
        std::error_code ec;
        result.archiveExists = fs::exists(request.archive, ec);
        if (!result.archiveExists) {
            // libzip writes no file for an archive without entries.
            result.outcome = BackupResult::writeFailed;
            result.error = "No file could be archived.";
            return result;
        }
        result.outcome = BackupResult::finished;
        if (!flushFile(request.archive))
            result.failed.push_back(request.archive.string() + ": could not be flushed to disk");
        for (std::string &problem : verifyBackupArchive(request.archive, added, comment, databaseEntries))
            result.failed.push_back(std::move(problem));
        return result;
    }

    const bool cancelled = zip_error_code_zip(zip_get_error(archive)) == ZIP_ER_CANCELLED;
    result.error = zip_strerror(archive);
    zip_discard(archive);
    std::error_code ec;
    result.archiveExists = fs::exists(request.archive, ec);
    if (cancelled) {
        qDebug() << "User cancelled backup.";
        result.outcome = BackupResult::cancelled;
        return result;
    }
    result.outcome = BackupResult::writeFailed;
    qWarning() << "ZIP archive write failed: " << QString::fromStdString(result.error);
    // libzip's error names no file: find the ones that changed since they were listed.
    for (const std::string &path : result.copied) {
        uint64_t size = 0;
        std::string why;
        std::error_code typeError;
        if (!fs::is_directory(fs::symlink_status(path, typeError)) &&
            !checkReadableFile(path, size, why)) {
            result.error += "\n" + path + ": " + why;
        }
    }
    return result;
}

std::vector<std::string> verifyBackupArchive(const fs::path &archive, int64_t expectedEntries,
                                             const std::string &expectedComment,
                                             const std::vector<uint64_t> &checkedEntries)
{
    std::vector<std::string> problems;
    const std::string name = archive.string();
    int code = 0;
    zip_t *check = zip_open(archive.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &code);
    if (check == nullptr) {
        problems.push_back(name + ": cannot be read back: " + zipErrorText(code));
        return problems;
    }
    const zip_int64_t entries = zip_get_num_entries(check, 0);
    if (entries != expectedEntries) {
        problems.push_back(name + ": holds " + std::to_string(entries) + " entries instead of " +
                           std::to_string(expectedEntries));
    }
    int length = 0;
    const char *comment = zip_get_archive_comment(check, &length, ZIP_FL_ENC_RAW);
    if (std::string(comment ? comment : "", comment ? size_t(length) : 0) != expectedComment)
        problems.push_back(name + ": archive comment differs from the one written");
    std::vector<char> buffer(64 * 1024);
    for (const uint64_t index : checkedEntries) {
        // zip_fread() checks the CRC when it reaches the end of the entry.
        zip_file_t *file = zip_fopen_index(check, index, 0);
        zip_int64_t got = file ? 1 : -1;
        while (got > 0)
            got = zip_fread(file, buffer.data(), buffer.size());
        if (file)
            zip_fclose(file);
        if (got < 0) {
            const char *entry = zip_get_name(check, index, 0);
            problems.push_back(name + ": entry " + (entry ? entry : "?") +
                               " does not read back (CRC)");
        }
    }
    zip_discard(check);
    return problems;
}


bool backupDestinationOnReader(const fs::path &destination, const Reader &reader)
{
    std::error_code ec;
    const fs::path target = fs::weakly_canonical(destination, ec);
    if (ec)
        return false;
    for (const fs::path &volume : {reader.mainpath, reader.cardpath}) {
        if (volume.empty())
            continue;
        const fs::path root = fs::weakly_canonical(volume, ec);
        if (ec)
            continue;
        const fs::path relative = target.lexically_relative(root);
        if (!relative.empty() && *relative.begin() != "..")
            return true;
    }
    return false;
}

bool backupExceedsFatLimit(uint64_t bytes, long fileSystemType)
{
    return fileSystemType == MSDOS_SUPER_MAGIC && bytes >= (uint64_t(1) << 32);
}

long fileSystemTypeOf(const fs::path &folder)
{
    struct statfs info {};
    if (::statfs(folder.c_str(), &info) != 0)
        return 0;
    return long(info.f_type);
}
