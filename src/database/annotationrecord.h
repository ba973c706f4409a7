#pragma once

#include <QString>

#include <cstdint>

/// Highlight colour codes as the import classifies the reader's colour names. Only 1 to 6
/// have a display colour; the others show as unknown.
enum AnnotationColor : int32_t {
    color_none = 0,
    color_yellow = 1,
    color_blue = 2,
    color_cyan = 3,
    color_green = 4,
    color_red = 5,
    color_magenta = 6,
    color_orange = 7,
    color_gray = 8,
    color_pink = 9,
    color_purple = 10,
    color_other = 12
};

/// One highlight, note or bookmark of a profile's books.db.
struct AnnotationRecord
{
    int32_t parentId = 0;    // OID of the book item: the key into the reader's books
    int32_t oid = 0;         // OID of the annotation item
    int64_t created = 0;     // seconds since the epoch
    int64_t timeAlt = 0;
    bool isBookmark = false;
    QString kind;            // "highlight", "note", "bookmark", "draws" as stored
    int32_t page = 1;        // 1-based
    int32_t offset = 1;      // 1-based
    int32_t positionKey = 0; // page * 10000 + offset, both 0-based: the order by page
    QString highlightText;
    int32_t color = color_none;
    QString noteText;
};
