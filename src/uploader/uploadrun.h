#pragma once

#include "uploader/uploaditem.h"

#include <QString>

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

/// Sending files to a reader without widgets: the file chooser's filter, the rows built from
/// the chosen files and the settings, and the copy run itself. The run may go on any
/// thread; it talks to the user only through the callbacks of UploadTarget.

/// The "settings/up_*" values the send-files tool reads.
struct UploadSettings
{
    bool zipDisabled = false;
    int copyToCardMode = 0; // 0 main memory, 1 ACSM files to the card, 2 all that may go there
    int deleteMode = 0;     // 0 never, 1 plain ACSM files, 2 ACSM files and ZIP entries, 3 all
    bool alwaysReplace = false;
};

UploadSettings readUploadSettings(const std::filesystem::path &settingsFile);

/// The file chooser's name filter.
QString uploadFileFilter(bool zipDisabled);

struct UploadItemsBuild
{
    std::vector<UploadItem> items;
    bool archiveFailed = false; // one or more ZIP archives could not be read
};

/// One row per chosen file and per file entry of each chosen ".zip" archive, with the
/// storage, "Copy file?" and "Delete?" decided from the settings. `cardPath` is empty
/// without a card.
UploadItemsBuild buildUploadItems(const std::vector<std::filesystem::path> &files,
                                  const std::filesystem::path &mainPath,
                                  const std::filesystem::path &cardPath,
                                  const UploadSettings &settings);

/// What the run needs of the reader and of the user.
struct UploadTarget
{
    /// Whether `root` is still a mounted volume of the reader; asked before every write.
    std::function<bool(const std::filesystem::path &root)> volumeMounted;
    /// Asked before a missing destination folder is created; false skips the file.
    std::function<bool(const std::filesystem::path &folder, bool onCard)> confirmFolder;
    /// Told when a folder could not be created.
    std::function<void(const std::filesystem::path &folder)> folderFailed;
};

struct UploadRunResult
{
    std::vector<std::string> report; // one line per file (and per archive to delete)
    int errors = 0;
    bool cancelled = false;
    bool disconnected = false; // the reader went away during the run
};

/// Copies every item with "Copy file?" ticked, in order, each through a temporary file that
/// is flushed and renamed into place; deletes sources as ticked once their copies are on
/// the device (an archive only when every one of its files was copied). Writes `copied`,
/// `sourceDeleted` and `result` of the items. `progress` is told how many items are done.
UploadRunResult runUpload(std::vector<UploadItem> &items, const UploadTarget &target,
                          const std::atomic<bool> &cancel,
                          const std::function<void(int done)> &progress = {});
