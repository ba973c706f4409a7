#include "backup/fileutils.h"

#include "backup/safewrite.h"
#include "core/textconv.h"

#include <QDebug>
#include <QString>

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <system_error>

namespace fs = std::filesystem;

namespace {

QString errorText(const std::exception &error)
{
    return QString::fromUtf8(error.what());
}

// An appended entry name must stay below the output folder: an absolute name would
// replace it when joined, and ".." would climb out of it.
bool staysInside(const fs::path &entryName)
{
    if (entryName.empty() || entryName.has_root_path())
        return false;
    return std::none_of(entryName.begin(), entryName.end(),
                        [](const fs::path &part) { return part == ".."; });
}

} // namespace

bool copyFileSafe(const fs::path &source, const fs::path &destination, fs::copy_options options)
{
    qDebug() << "Attempting copy of:" << toQString(source) << "-->" << toQString(destination);
    if (source == destination) {
        qWarning() << "Cannot copy file to itself";
        return false;
    }
    std::error_code statusError;
    const fs::file_type type = fs::status(source, statusError).type();
    if (type == fs::file_type::not_found || type == fs::file_type::none) {
        qWarning() << "Source doesn't exist" << toQString(source);
        return false;
    }
    if (!source.has_root_directory()) {
        qWarning() << "Skipping, as filepath contains a relative reference (i.e. '..')";
        return false;
    }

    bool copied = false;
    try {
        copied = fs::copy_file(source, destination, options);
    } catch (const fs::filesystem_error &error) {
        qWarning() << "Error copying file." << errorText(error);
        return false;
    }
    if (!copied)
        return false;

    std::error_code sourceError;
    std::error_code destinationError;
    const uintmax_t sourceSize = fs::file_size(source, sourceError);
    const uintmax_t destinationSize = fs::file_size(destination, destinationError);
    if (sourceError || destinationError || sourceSize != destinationSize)
        return false;
    qDebug() << "Succesfully copied:" << toQString(source) << "-->" << toQString(destination);
    return true;
}

bool copyFilesReplacing(const std::vector<std::pair<fs::path, fs::path>> &files)
{
    std::vector<std::pair<fs::path, fs::path>> written; // (temporary, destination)
    auto discardAll = [&written] {
        for (const auto &file : written)
            discardSafeWrite(file.first);
    };
    for (const auto &[source, destination] : files) {
        SafeWriteOptions options;
        options.deferCommit = true;
        options.keepSourceTime = true;
        const SafeWriteResult result = safeCopyFile(source, destination, options);
        if (!result.ok) {
            qWarning() << "Error copying file." << toQString(source) << "-->"
                       << toQString(destination) << QString::fromStdString(result.error);
            discardAll();
            return false;
        }
        written.emplace_back(result.temporary, destination);
    }
    if (!written.empty() && !syncFileSystem(written.front().first)) {
        qWarning() << "Error copying file: cannot flush" << toQString(written.front().second);
        discardAll();
        return false;
    }
    bool renamed = true;
    for (const auto &[temporary, destination] : written) {
        const SafeWriteResult result = commitSafeWrite(temporary, destination);
        if (!result.ok) {
            qWarning() << "Error copying file." << QString::fromStdString(result.error);
            renamed = false;
        } else {
            syncFolder(destination.parent_path());
        }
    }
    return renamed;
}

fs::path getWalFile(const fs::path &db, bool always)
{
    fs::path wal = db;
    wal += "-wal";
    if (always)
        return wal;
    if (fs::exists(fs::status(wal)) && fs::file_size(wal) != 0) {
        qDebug() << "Found non-empty Write Ahead Logfile";
        return wal;
    }
    return {};
}

FileSizeWriteTime getFileSizeWriteTime(const fs::path &path)
{
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) {
        qWarning() << "getFileSizeWriteTime failed to return filesize/filedate for:"
                   << toQString(path);
        return {-1, -1};
    }
    return {static_cast<int32_t>(info.st_mtime), static_cast<int64_t>(info.st_size)};
}

std::string humanReadableSize(int64_t bytes)
{
    // The magnitude is taken unsigned: negating INT64_MIN would overflow.
    const uint64_t magnitude =
        bytes < 0 ? uint64_t{0} - static_cast<uint64_t>(bytes) : static_cast<uint64_t>(bytes);
    if (magnitude < 1024)
        return std::to_string(bytes) + " B";

    const char *unit = "KB";
    int shift = 0;
    if (magnitude >= (uint64_t{1} << 60)) {
        unit = "EB";
        shift = 50;
    } else if (magnitude >= (uint64_t{1} << 50)) {
        unit = "PB";
        shift = 40;
    } else if (magnitude >= (uint64_t{1} << 40)) {
        unit = "TB";
        shift = 30;
    } else if (magnitude >= (uint64_t{1} << 30)) {
        unit = "GB";
        shift = 20;
    } else if (magnitude >= (uint64_t{1} << 20)) {
        unit = "MB";
        shift = 10;
    }
    const double value = static_cast<double>(bytes >> shift) / 1024.0;

    // Six decimals as printf's "%f" gives them, but always with a '.': the application
    // sets the user's locale, and a comma would change what five characters show.
    char text[64];
    const std::to_chars_result end =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 6);
    const std::string digits(text, end.ptr);
    return digits.substr(0, 5) + unit;
}

int64_t currentEpochSeconds()
{
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch).count();
}

dirSizeInfo getDirectorySize(const std::vector<fs::path> &roots,
                             const std::vector<fs::path> &skipNames)
{
    dirSizeInfo info{0, 0, 0};
    for (const fs::path &root : roots) {
        std::error_code statusError;
        const fs::file_type type =
            root.empty() ? fs::file_type::none : fs::status(root, statusError).type();
        if (type == fs::file_type::not_found || type == fs::file_type::none) {
            qDebug() << "Skipping non-existent / empty dir.";
            continue;
        }
        try {
            for (auto it = fs::recursive_directory_iterator(root);
                 it != fs::recursive_directory_iterator(); ++it) {
                const bool isDirectory = it->is_directory();
                if (isDirectory && it.depth() == 0 &&
                    std::find(skipNames.begin(), skipNames.end(), it->path().filename()) !=
                        skipNames.end()) {
                    qDebug() << "Ignoring directory:" << toQString(it->path());
                    it.disable_recursion_pending();
                    continue;
                }
                if (isDirectory)
                    continue;
                const FileSizeWriteTime file = getFileSizeWriteTime(it->path());
                if (file.size < 0) {
                    ++info.errorCount;
                } else {
                    info.totalBytes += static_cast<uint64_t>(file.size);
                    ++info.fileCount;
                }
            }
        } catch (const fs::filesystem_error &) {
            qWarning() << "Directory iterator exception.";
            ++info.errorCount;
        }
    }
    return info;
}

bool zipAddPath(zip_t *archive, const fs::path &source, const fs::path &entry, bool compress)
{
    if (archive == nullptr)
        return false;
    if (!source.has_root_directory()) {
        qWarning() << "Skipping as filepath contains a relative reference (i.e. '../').";
        return false;
    }

    const std::string entryName = entry.generic_string();
    zip_source_t *fileSource = nullptr;
    zip_int64_t index = -1;
    if (!fs::is_directory(source)) {
        zip_error_t error;
        zip_error_init(&error);
        // libzip reads the file only at zip_close(), so it must still exist then.
        fileSource = zip_source_file_create(source.c_str(), 0, 0, &error);
        zip_error_fini(&error);
        if (fileSource != nullptr)
            index = zip_file_add(archive, entryName.c_str(), fileSource, ZIP_FL_ENC_UTF_8);
    } else {
        index = zip_dir_add(archive, entryName.c_str(), ZIP_FL_ENC_UTF_8);
    }

    if (index < 0) {
        qWarning() << "Failed adding file/dir:" << toQString(source)
                   << "with dest:" << toQString(entry);
        // A source that zip_file_add() refused still belongs to us.
        if (fileSource != nullptr)
            zip_source_free(fileSource);
        return false;
    }
    // Deflate by name: libzip's default method ignores the level and deflates at its slowest.
    zip_set_file_compression(archive, static_cast<zip_uint64_t>(index),
                             compress ? ZIP_CM_DEFLATE : ZIP_CM_STORE, compress ? 1 : 0);
    return true;
}

int zipExtractIndex(zip_t *archive, zip_uint64_t index, const fs::path &output,
                    bool appendEntryName)
{
    zip_file_t *entry =
        archive != nullptr ? zip_fopen_index(archive, index, ZIP_FL_UNCHANGED) : nullptr;
    if (entry == nullptr) {
        qWarning() << "Failed opening index from archive";
        return -1;
    }

    fs::path target = output;
    if (appendEntryName) {
        qDebug() << "Attaching zip filepath to directory";
        const char *name = zip_get_name(archive, index, ZIP_FL_ENC_GUESS);
        const fs::path entryName = name != nullptr ? fs::path(name) : fs::path();
        if (!staysInside(entryName)) {
            qWarning() << "Refusing archive entry outside the output directory:"
                       << toQString(entryName);
            zip_fclose(entry);
            return -1;
        }
        target = output / entryName;
    }
    qDebug() << "Export paths (old/new)" << toQString(output) << toQString(target);

    // A folder entry ("photos/") is the folder itself, made like those on the way to a file.
    const bool folderEntry = !target.empty() && !target.has_filename();
    const fs::path parent = target.parent_path();
    try {
        if (!parent.empty() && !fs::exists(parent) && !fs::create_directories(parent)) {
            qWarning() << "Failed creating export dir:" << toQString(parent);
            zip_fclose(entry);
            return -2;
        }
    } catch (const fs::filesystem_error &error) {
        qWarning() << "Failed creating export dir:" << toQString(error.path1()) << errorText(error);
        zip_fclose(entry);
        return -2;
    }

    if (folderEntry) {
        zip_fclose(entry);
        std::error_code error;
        return fs::is_directory(parent, error) ? 1 : -2;
    }

    // Through a temporary file of its own beside the target, checked against the entry's
    // size and flushed before the rename: an entry called like "<target>.tmp" that came
    // earlier is never overwritten, and a damaged entry (bad compressed data, wrong
    // checksum) never passes a truncated file off as complete.
    zip_stat_t stat;
    zip_stat_init(&stat);
    SafeWriteOptions options;
    if (zip_stat_index(archive, index, 0, &stat) == 0 && (stat.valid & ZIP_STAT_SIZE))
        options.expectedSize = static_cast<int64_t>(stat.size);
    const SafeWriteResult result = safeWriteFile(
        target,
        [entry](char *buffer, uint64_t capacity) -> int64_t {
            return zip_fread(entry, buffer, capacity);
        },
        options);
    zip_fclose(entry);
    if (!result.ok) {
        qWarning() << "Failed extracting" << toQString(target)
                   << QString::fromStdString(result.error);
        return -1;
    }
    return 1;
}
