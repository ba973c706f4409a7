#pragma once

#include "uploader/filecategories.h"

#include <filesystem>
#include <string>

/// One file to send to a reader: a plain file or one entry of a ZIP archive, what kind it
/// is, where it would go and what the user wants done with it. Owned by the send-files
/// dialog in a vector; the model and the copy run change it in place.
struct UploadItem
{
    int zipIndex = -1;              // entry index inside `archive`; -1 for a plain file
    std::filesystem::path source;   // the file, or the entry name inside the archive
    std::filesystem::path archive;  // the ZIP archive of an entry; empty for a plain file
    std::string fileName;           // last component of `source`
    std::string extension;          // with the dot
    FileKind kind = filekind_unknown;
    std::filesystem::path mainFolder; // relative to the main memory's mount point
    std::filesystem::path cardFolder; // relative to the card's mount point
    bool allowedMain = false;
    bool allowedCard = false;
    bool copy = true;
    bool toCard = false;
    bool deleteSource = false;
    bool destinationExists = false;
    bool copied = false;
    bool sourceDeleted = false;
    std::filesystem::path destinationFile;
    std::filesystem::path destinationFolder;
    std::filesystem::path destinationRoot;
    std::string destinationFileName;
    std::string info;
    std::string result;

    /// A plain file (zipIndex -1, no archive) or an archive entry; copy is on, the
    /// destination still empty.
    static UploadItem create(int zipIndex, const std::filesystem::path &source,
                             const std::filesystem::path &archive = {});

    bool isZipEntry() const { return zipIndex >= 0; }
    /// Places the item below `root` (a storage's mount point) and looks whether a file of
    /// that name is already there.
    void setRoot(const std::filesystem::path &root);
    /// Looks again whether the destination exists; updates the info text.
    bool recheckExists();
    void setCopy(bool flag, const std::string &infoText);
    /// Marks the outcome: "Copied", or "NOT copied" with the reason when one is given.
    void setCopied(bool ok, const std::string &reason = {});
    /// Marks the source as deleted (only ever called after it really was).
    void setSourceDeleted();
    std::string kindName() const;
};
