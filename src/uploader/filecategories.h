#pragma once

#include <array>
#include <filesystem>
#include <string>
#include <string_view>

class Reader;

/// What a file is to the reader, by its extension. Index into the tables below: never
/// reorder.
enum FileKind : int {
    filekind_epub = 0,
    filekind_pdf = 1,
    filekind_mobi = 2,
    filekind_acsm = 3,
    filekind_app = 4,
    filekind_font = 5,
    filekind_dict = 6,
    filekind_pbi = 7,
    filekind_firmware = 8,
    filekind_unknown = 9
};
constexpr int fileKindCount = 10;

/// Where a file may be placed: 0 is the reader's main memory, 2 its card.
enum : int { storage_main = 0, storage_card = 2 };

/// Where a kind of file may go and into which folder below the mount point ("" is the root
/// of the storage).
struct FileDestination
{
    bool allowedMain = false;
    bool allowedCard = false;
    std::string_view mainFolder;
    std::string_view cardFolder;
};

struct ExtensionKind
{
    std::string_view extension; // with the leading dot
    FileKind kind;
};

/// The fixed tables, the same everywhere in the program.
extern const std::array<std::string_view, fileKindCount> fileKindNames;
extern const std::array<ExtensionKind, 12> fileExtensionTable;
extern const std::array<FileDestination, fileKindCount> fileDestinationTable;

/// "EPUB", "FONT", ...; throws std::out_of_range outside 0 to 9 (a programming error).
std::string fileKindName(int kind);
/// The kind of an extension such as ".TTF" (compared in ASCII lower case); UNKNOWN when not
/// listed, the empty extension included.
FileKind fileKindOfExtension(std::string_view extension);
/// The kind of a file name or path, by its extension.
FileKind fileKindOfName(const std::filesystem::path &name);
/// The kind's row; an empty row (nothing allowed) for a value outside the table.
FileDestination fileDestination(int kind);
/// Whether the kind may go to `storage` (storage_main or storage_card; anything else: no).
bool fileKindAllowed(int kind, int storage);
/// The kind's folder on `storage` of `reader`, below its mount path when `absolute`; empty
/// when the kind may not go there. Books and unknown files have no folder at all.
std::filesystem::path fileDestinationFolder(int kind, const Reader &reader, int storage,
                                            bool absolute);
