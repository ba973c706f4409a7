#pragma once

#include <QString>

#include <cstdint>

/// One book of a profile's books.db, with its place in the title order.
struct BookInfo
{
    int32_t oid = 0;
    int32_t titleSortIndex = 0; // position in the title order, 0-based
    QString title;
    QString author;
};
