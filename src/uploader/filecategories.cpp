#include "uploader/filecategories.h"

#include "readers/reader.h"

#include <stdexcept>

const std::array<std::string_view, fileKindCount> fileKindNames = {
    "EPUB", "PDF", "MOBI", "ACSM", "APP", "FONT", "DICT", "PBI", "FIRMWARE", "UNKNOWN"};

const std::array<ExtensionKind, 12> fileExtensionTable = {{
    {".epub", filekind_epub},
    {".pdf", filekind_pdf},
    {".mobi", filekind_mobi},
    {".acsm", filekind_acsm},
    {".app", filekind_app},
    {".ttf", filekind_font},
    {".otf", filekind_font},
    {".ttc", filekind_font},
    {".dic", filekind_dict},
    {".pbi", filekind_pbi},
    {".bin", filekind_firmware},
    {"", filekind_unknown},
}};

// Books are recognised so that they can be refused: they are not system files.
const std::array<FileDestination, fileKindCount> fileDestinationTable = {{
    {false, false, "", ""},                                         // EPUB
    {false, false, "", ""},                                         // PDF
    {false, false, "", ""},                                         // MOBI
    {true, true, "", ""},                                           // ACSM
    {true, false, "applications/", ""},                             // APP
    {true, false, "system/fonts/", ""},                             // FONT
    {true, true, "system/dictionaries/", "system/dictionaries/"},   // DICT
    {true, false, "", ""},                                          // PBI
    {true, false, "", ""},                                          // FIRMWARE
    {false, false, "", ""},                                         // UNKNOWN
}};

std::string fileKindName(int kind)
{
    if (kind < 0 || kind >= fileKindCount)
        throw std::out_of_range("FileKind out of range");
    return std::string(fileKindNames[static_cast<size_t>(kind)]);
}

FileKind fileKindOfExtension(std::string_view extension)
{
    std::string lower(extension);
    for (char &c : lower) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    for (const ExtensionKind &row : fileExtensionTable) {
        if (row.extension == lower)
            return row.kind;
    }
    return filekind_unknown;
}

FileKind fileKindOfName(const std::filesystem::path &name)
{
    return fileKindOfExtension(name.extension().string());
}

FileDestination fileDestination(int kind)
{
    if (kind < 0 || kind >= fileKindCount)
        return {};
    return fileDestinationTable[static_cast<size_t>(kind)];
}

bool fileKindAllowed(int kind, int storage)
{
    const FileDestination row = fileDestination(kind);
    if (storage == storage_main)
        return row.allowedMain;
    if (storage == storage_card)
        return row.allowedCard;
    return false;
}

std::filesystem::path fileDestinationFolder(int kind, const Reader &reader, int storage,
                                            bool absolute)
{
    const FileDestination row = fileDestination(kind);
    if (!row.allowedMain)
        return {};
    if (storage == storage_card) {
        if (!row.allowedCard)
            return {};
        const std::filesystem::path folder(std::string(row.cardFolder));
        return absolute ? reader.cardpath / folder : folder;
    }
    if (storage == storage_main) {
        const std::filesystem::path folder(std::string(row.mainFolder));
        return absolute ? reader.mainpath / folder : folder;
    }
    return {};
}
