#pragma once

#include <QByteArray>
#include <QString>

#include <filesystem>

/// Looks at files a test wrote without changing them: a digest of the bytes, and one value
/// of one statement read on a connection of its own.
namespace dbpeek {

/// SHA-256 of the file's bytes; empty when it cannot be read (a missing file).
QByteArray checksum(const std::filesystem::path &path);
/// The first column of the first row of `sql`; -1 when the statement fails.
int queryInt(const std::filesystem::path &db, const QString &sql);
/// Items whose ParentID is `oid`: the annotations of a book.
int childrenOf(const std::filesystem::path &db, int oid);

} // namespace dbpeek
