#pragma once

#include "database/bookinfo.h"
#include "database/explorerbook.h"

#include <QByteArray>

#include <filesystem>
#include <map>
#include <vector>

/// Reading books: titles and authors of a profile's books.db, and the books and reading
/// progress of the explorer database. Read-only; every call opens and removes its own
/// connection.

/// Replaces `books` with the books of the database, keyed by OID, each with its place in
/// the title order; false (and an empty map) when the database cannot be read (logged).
bool importBooks(std::map<int32_t, BookInfo> &books, const std::filesystem::path &dbPath);

/// The viewer's title order on the UTF-8 bytes: ASCII case folded, the first differing bytes
/// decide as signed values (so non-ASCII titles come before ASCII ones), a prefix first.
bool titleLessThan(const QByteArray &a, const QByteArray &b);

/// Replaces `books` with the explorer database's books and their per-profile progress.
/// Unless `isDestination`, profiles that `profileMap` maps to -1 are left out.
bool readExplorerBooks(const std::filesystem::path &dbPath, std::vector<ExplorerBook> &books,
                       bool isDestination, const ProfileMap &profileMap);
