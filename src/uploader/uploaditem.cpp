#include "uploader/uploaditem.h"

#include <system_error>

namespace fs = std::filesystem;

UploadItem UploadItem::create(int zipIndex, const fs::path &source, const fs::path &archive)
{
    UploadItem item;
    item.zipIndex = zipIndex;
    item.source = source;
    item.archive = archive;
    // Only the last component counts: a ZIP entry named "../../x.acsm" or "/etc/x.acsm"
    // becomes plain "x.acsm" below the destination folder.
    item.fileName = source.filename().string();
    item.extension = fs::path(item.fileName).extension().string();
    item.kind = fileKindOfExtension(item.extension);
    const FileDestination destination = fileDestination(item.kind);
    item.allowedMain = destination.allowedMain;
    item.allowedCard = destination.allowedCard;
    if (destination.allowedMain)
        item.mainFolder = fs::path(std::string(destination.mainFolder));
    if (destination.allowedCard)
        item.cardFolder = fs::path(std::string(destination.cardFolder));
    item.destinationFileName = item.fileName;
    return item;
}

void UploadItem::setRoot(const fs::path &root)
{
    destinationRoot = root;
    destinationFolder = toCard && allowedCard ? cardFolder : mainFolder;
    destinationFile.clear();
    if (!root.empty() && !destinationFileName.empty())
        destinationFile = root / destinationFolder / destinationFileName;
    recheckExists();
}

bool UploadItem::recheckExists()
{
    std::error_code ec;
    destinationExists = !destinationFile.empty() &&
                        fs::exists(fs::symlink_status(destinationFile, ec));
    info = destinationExists ? "File exists" : "";
    return destinationExists;
}

void UploadItem::setCopy(bool flag, const std::string &infoText)
{
    copy = flag;
    info = infoText;
}

void UploadItem::setCopied(bool ok, const std::string &reason)
{
    copied = ok;
    if (ok)
        result = "Copied";
    else
        result = reason.empty() ? "NOT copied" : "NOT copied (" + reason + ")";
}

void UploadItem::setSourceDeleted()
{
    sourceDeleted = true;
    result += " (source deleted)";
}

std::string UploadItem::kindName() const
{
    return kind >= 0 && kind < fileKindCount ? fileKindName(kind) : "No label";
}
