#include "uploader/uploadrun.h"

#include "backup/safewrite.h"
#include "core/settingsstore.h"
#include "core/textconv.h"

#include <QDebug>

#include <zip.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <system_error>

namespace fs = std::filesystem;

namespace {

const char disconnectedReason[] = "Device is disconnected";

bool isMacMetadata(const std::string &entryName)
{
    return entryName.rfind("__MACOSX/", 0) == 0 ||
           fs::path(entryName).filename().string().rfind("._", 0) == 0;
}

/// Whether a deletion mode ticks "Delete?" for this item from the start.
bool preTickDelete(int mode, const UploadItem &item)
{
    switch (mode) {
    case 3:
        return true;
    case 2:
        return item.kind == filekind_acsm || item.isZipEntry();
    case 1:
        return item.kind == filekind_acsm && !item.isZipEntry();
    default:
        return false;
    }
}

/// FAT, as on most readers, ignores case: "Font.TTF" and "font.ttf" are one file there.
std::string destinationKey(const fs::path &file)
{
    std::string key = file.string();
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return key;
}

enum class FolderWalk { Ready, Missing, Refused };

/// Walks `folder` below `root` one component at a time, never through a symbolic link
/// (an ext4 card can hold one pointing anywhere), creating what is missing when `create`.
FolderWalk walkFolder(const fs::path &root, const fs::path &folder, bool create,
                      std::string &error)
{
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(root, ec))) {
        error = "Storage root missing: " + root.string();
        return FolderWalk::Refused;
    }
    fs::path current = root;
    for (const fs::path &part : folder) {
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            error = "Folder outside the reader: " + folder.string();
            return FolderWalk::Refused;
        }
        current /= part;
        const fs::file_status status = fs::symlink_status(current, ec);
        if (fs::is_symlink(status)) {
            error = "Refusing to write through a symbolic link: " + current.string();
            return FolderWalk::Refused;
        }
        if (fs::is_directory(status))
            continue;
        if (fs::exists(status)) {
            error = "Not a folder: " + current.string();
            return FolderWalk::Refused;
        }
        if (!create)
            return FolderWalk::Missing;
        if (!fs::create_directory(current, ec) || ec) {
            error = "Cannot create " + current.string() + ": " + ec.message();
            return FolderWalk::Refused;
        }
        syncFolder(current.parent_path());
        qDebug() << "Created dir: " << toQString(current);
    }
    return FolderWalk::Ready;
}

SafeWriteResult extractEntry(const UploadItem &item, const SafeWriteOptions &baseOptions)
{
    SafeWriteResult result;
    int errorCode = 0;
    zip_t *archive = zip_open(item.archive.c_str(), ZIP_RDONLY, &errorCode);
    if (!archive) {
        zip_error_t error;
        zip_error_init_with_code(&error, errorCode);
        result.error = std::string("ZIP Archive open failed: ") + zip_error_strerror(&error);
        zip_error_fini(&error);
        qWarning() << QString::fromStdString(result.error);
        return result;
    }
    const auto index = static_cast<zip_uint64_t>(item.zipIndex);
    zip_stat_t stat;
    zip_file_t *entry = nullptr;
    if (zip_stat_index(archive, index, 0, &stat) != 0 || !(stat.valid & ZIP_STAT_SIZE) ||
        !(entry = zip_fopen_index(archive, index, 0))) {
        result.error = std::string("Cannot read ZIP entry: ") + zip_strerror(archive);
        zip_discard(archive);
        return result;
    }
    SafeWriteOptions options = baseOptions;
    options.expectedSize = static_cast<int64_t>(stat.size);
    result = safeWriteFile(
        item.destinationFile,
        [entry](char *buffer, uint64_t capacity) -> int64_t {
            return zip_fread(entry, buffer, capacity);
        },
        options);
    zip_fclose(entry);
    zip_discard(archive);
    return result;
}

/// Writes one item whose turn it is to a temporary file beside its destination; returns the
/// reason when it was not written.
std::string writeItem(UploadItem &item, const UploadTarget &target, const std::atomic<bool> &cancel,
                      bool &cancelled, SafeWriteResult &written)
{
    const fs::path folder = item.destinationRoot / item.destinationFolder;
    std::string error;
    FolderWalk walk = walkFolder(item.destinationRoot, item.destinationFolder, false, error);
    if (walk == FolderWalk::Missing) {
        if (target.confirmFolder && !target.confirmFolder(folder, item.toCard)) {
            qDebug() << "User cancelled dir creation - and thus copying of this file.";
            return "folder not created";
        }
        // Asking took time: the card may be gone by now.
        if (!target.volumeMounted(item.destinationRoot))
            return disconnectedReason;
        walk = walkFolder(item.destinationRoot, item.destinationFolder, true, error);
        if (walk != FolderWalk::Ready && target.folderFailed)
            target.folderFailed(folder);
    }
    if (walk != FolderWalk::Ready)
        return error;

    SafeWriteOptions options;
    options.cancel = &cancel;
    options.deferCommit = true;
    written = item.isZipEntry() ? extractEntry(item, options)
                                : safeCopyFile(item.source, item.destinationFile, options);
    cancelled = written.cancelled;
    if (!written.ok) {
        qDebug() << "Copy failed" << " : " << QString::fromStdString(written.error);
        return written.error.empty() ? std::string("copy failed") : written.error;
    }
    return {};
}

// Small files are flushed to the device together: one syncfs() for many files costs what
// one fsync() costs, and a reader's flash is slow to flush.
constexpr uint64_t batchBytes = 64 << 20;
constexpr size_t batchFiles = 256;

/// One copy run: writes items into temporary files, then flushes a batch of them to the
/// device at once and only then renames them into place and deletes their sources.
class UploadRun
{
public:
    UploadRun(std::vector<UploadItem> &items, const UploadTarget &target,
              const std::atomic<bool> &cancel, const std::function<void(int)> &progress)
        : m_items(items)
        , m_target(target)
        , m_cancel(cancel)
        , m_progress(progress)
    {
    }

    UploadRunResult run();

private:
    struct Pending
    {
        size_t index;
        fs::path temporary;
    };

    std::string copyOne(UploadItem &item, bool &cancelled, SafeWriteResult &written);
    void flush();
    void fail(UploadItem &item, const std::string &reason);

    std::vector<UploadItem> &m_items;
    const UploadTarget &m_target;
    const std::atomic<bool> &m_cancel;
    const std::function<void(int)> &m_progress;
    UploadRunResult m_result;
    std::set<std::string> m_destinations;
    std::vector<size_t> m_attempted;
    std::vector<Pending> m_pending;
    uint64_t m_pendingBytes = 0;
};

void UploadRun::fail(UploadItem &item, const std::string &reason)
{
    item.setCopied(false, reason);
    ++m_result.errors;
    if (reason == disconnectedReason)
        m_result.disconnected = true;
}

std::string UploadRun::copyOne(UploadItem &item, bool &cancelled, SafeWriteResult &written)
{
    if (item.destinationFile.empty())
        return "no destination";
    if (!m_target.volumeMounted(item.destinationRoot))
        return disconnectedReason;
    if (!m_destinations.insert(destinationKey(item.destinationFile)).second)
        return "another file of this run has the same destination";
    return writeItem(item, m_target, m_cancel, cancelled, written);
}

void UploadRun::flush()
{
    if (m_pending.empty())
        return;
    // Data first: nothing is renamed into place before its bytes are on the device.
    std::map<fs::path, std::string> rootError;
    for (const Pending &pending : m_pending) {
        const fs::path &root = m_items[pending.index].destinationRoot;
        if (rootError.count(root))
            continue;
        if (!m_target.volumeMounted(root))
            rootError[root] = disconnectedReason;
        else
            rootError[root] = syncFileSystem(root) ? "" : "Cannot flush to the device";
    }
    std::map<fs::path, bool> folders;
    for (const Pending &pending : m_pending) {
        UploadItem &item = m_items[pending.index];
        std::string reason = rootError[item.destinationRoot];
        if (reason.empty()) {
            const SafeWriteResult committed = commitSafeWrite(pending.temporary, item.destinationFile);
            reason = committed.error;
        } else {
            discardSafeWrite(pending.temporary);
        }
        if (!reason.empty()) {
            fail(item, reason);
            continue;
        }
        item.setCopied(true);
        qDebug() << "Copied file? " << "true";
        folders[item.destinationFile.parent_path()] = true;
    }
    for (auto &[folder, synced] : folders)
        synced = syncFolder(folder);
    for (const Pending &pending : m_pending) {
        UploadItem &item = m_items[pending.index];
        if (!item.copied)
            continue;
        // A source (or its archive) goes only once its copy's name is on the device too.
        if (!folders[item.destinationFile.parent_path()]) {
            fail(item, "Cannot flush the folder " + item.destinationFile.parent_path().string());
            continue;
        }
        if (!item.deleteSource || item.isZipEntry())
            continue;
        std::error_code ec;
        if (fs::remove(item.source, ec)) {
            item.setSourceDeleted();
            qDebug() << "File deleted: " << toQString(item.source);
        } else if (ec) {
            qWarning() << "Failed to delete file: " << QString::fromStdString(ec.message());
        }
    }
    m_pending.clear();
    m_pendingBytes = 0;
}

} // namespace

UploadSettings readUploadSettings(const fs::path &settingsFile)
{
    const auto settings = openIniSettings(settingsFile);
    UploadSettings result;
    result.zipDisabled = readBool(*settings, settingskeys::upZipdisabled, false);
    result.copyToCardMode = readInt(*settings, settingskeys::upCopytocardmode, 0);
    result.deleteMode = readInt(*settings, settingskeys::upDeletemode, 0);
    result.alwaysReplace = readBool(*settings, settingskeys::upAlwaysreplace, false);
    return result;
}

QString uploadFileFilter(bool zipDisabled)
{
    return QStringLiteral("All PB type (*.acsm *.app *.dic *.pbi *.ttf *.otf *.ttc *.bin%1);;"
                          "Font files (*.ttf *.otf *.ttc);;All Files (*)")
        .arg(zipDisabled ? QString() : QStringLiteral(" *.zip"));
}

UploadItemsBuild buildUploadItems(const std::vector<fs::path> &files, const fs::path &mainPath,
                                  const fs::path &cardPath, const UploadSettings &settings)
{
    UploadItemsBuild build;
    for (const fs::path &file : files) {
        if (file.extension() != ".zip" || settings.zipDisabled) {
            build.items.push_back(UploadItem::create(-1, file));
            continue;
        }
        int errorCode = 0;
        zip_t *archive = zip_open(file.c_str(), ZIP_RDONLY, &errorCode);
        if (!archive) {
            zip_error_t error;
            zip_error_init_with_code(&error, errorCode);
            qWarning() << "ZIP Archive open failed: " << zip_error_strerror(&error);
            zip_error_fini(&error);
            build.archiveFailed = true;
            continue;
        }
        const zip_int64_t count = zip_get_num_entries(archive, 0);
        for (zip_int64_t index = 0; index < count; ++index) {
            const char *name = zip_get_name(archive, static_cast<zip_uint64_t>(index), 0);
            if (!name)
                continue;
            const std::string entryName(name);
            if (entryName.empty() || entryName.back() == '/') {
                qDebug() << "Skipping ZIP directory" << QString::fromStdString(entryName);
                continue;
            }
            build.items.push_back(UploadItem::create(static_cast<int>(index), entryName, file));
        }
        zip_discard(archive);
    }

    for (UploadItem &item : build.items) {
        if (item.isZipEntry() && isMacMetadata(item.source.string())) {
            item.setCopy(false, "Skipped, macOS metadata");
            continue;
        }
        if (item.kind == filekind_unknown) {
            item.setCopy(false, "Skipped, unknown file extension");
            continue;
        }
        if (!item.allowedMain) {
            item.setCopy(false, "Skipped, unsupported file type.");
            continue;
        }
        const int mode = settings.copyToCardMode;
        item.toCard = !cardPath.empty() && mode > 0 && item.allowedCard &&
                      (mode == 2 || (mode == 1 && item.kind == filekind_acsm));
        item.setRoot(item.toCard ? cardPath : mainPath);
        if (item.destinationExists)
            item.copy = settings.alwaysReplace;
        item.deleteSource = preTickDelete(settings.deleteMode, item);
    }
    return build;
}

UploadRunResult UploadRun::run()
{
    int done = 0;
    for (size_t index = 0; index < m_items.size(); ++index) {
        UploadItem &item = m_items[index];
        if (m_cancel.load()) {
            qWarning() << "Cancelled uploading, stop iterating over fileobjects...";
            m_result.cancelled = true;
            break;
        }
        if (!item.copy)
            continue;
        m_attempted.push_back(index);
        if (m_result.disconnected) {
            fail(item, disconnectedReason);
            continue;
        }
        qDebug() << "Preparing to copy: " << toQString(item.isZipEntry() ? item.archive : item.source)
                 << " >> " << toQString(item.destinationFile) << "zipindex:" << item.zipIndex;
        std::string reason;
        bool cancelled = false;
        SafeWriteResult written;
        try {
            reason = copyOne(item, cancelled, written);
        } catch (const std::exception &e) {
            reason = e.what();
        }
        if (reason.empty()) {
            m_pending.push_back({index, written.temporary});
            m_pendingBytes += written.bytes;
        } else if (cancelled) {
            item.setCopied(false, "Cancelled");
        } else {
            fail(item, reason);
        }
        if (m_progress)
            m_progress(++done);
        if (cancelled) {
            m_result.cancelled = true;
            break;
        }
        if (m_pendingBytes >= batchBytes || m_pending.size() >= batchFiles)
            flush();
    }
    // What was written completely before a Stop is still put in place.
    flush();
    for (size_t index : m_attempted)
        m_result.report.push_back(m_items[index].result + " : " + m_items[index].fileName);
    return m_result;
}

UploadRunResult runUpload(std::vector<UploadItem> &items, const UploadTarget &target,
                          const std::atomic<bool> &cancel, const std::function<void(int)> &progress)
{
    UploadRunResult run = UploadRun(items, target, cancel, progress).run();

    // An archive goes only when every file in it is on the reader; each extraction above
    // reopened it, so none is needed any more.
    std::vector<fs::path> archives;
    for (const UploadItem &item : items) {
        if (item.isZipEntry() && item.deleteSource &&
            std::find(archives.begin(), archives.end(), item.archive) == archives.end())
            archives.push_back(item.archive);
    }
    for (const fs::path &archive : archives) {
        const bool allCopied = std::all_of(items.begin(), items.end(), [&](const UploadItem &i) {
            return i.archive != archive || i.copied;
        });
        const std::string name = archive.filename().string();
        if (!allCopied) {
            run.report.push_back("Archive kept, not every file in it was copied : " + name);
            continue;
        }
        std::error_code ec;
        if (!fs::remove(archive, ec) || ec) {
            qWarning() << "Failed to delete file: " << QString::fromStdString(ec.message());
            run.report.push_back("Archive NOT deleted (" + ec.message() + ") : " + name);
            continue;
        }
        qDebug() << "File deleted: " << toQString(archive);
        for (UploadItem &item : items) {
            if (item.archive == archive)
                item.setSourceDeleted();
        }
        run.report.push_back("Archive deleted : " + name);
    }
    return run;
}
