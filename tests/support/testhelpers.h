#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

/// Small helpers the tests share: a recorder of warnings, a permission restorer and a
/// writer of database files a reader cannot use.
namespace testhelpers {

/// Collects warnings and errors while alive and forwards every message to the handler
/// before it, so that QTest::ignoreMessage keeps working.
class LogRecorder
{
public:
    LogRecorder();
    ~LogRecorder();
    LogRecorder(const LogRecorder &) = delete;
    LogRecorder &operator=(const LogRecorder &) = delete;

    QStringList warnings() const;
    /// The warnings, one a line, for QVERIFY2.
    QByteArray joined() const { return warnings().join(QLatin1Char('\n')).toUtf8(); }
};

/// Gives a folder mode 0755 back when destroyed, so that QTemporaryDir can remove it.
class PermissionRestorer
{
public:
    explicit PermissionRestorer(std::filesystem::path folder);
    ~PermissionRestorer();
    PermissionRestorer(const PermissionRestorer &) = delete;
    PermissionRestorer &operator=(const PermissionRestorer &) = delete;

private:
    std::filesystem::path m_folder;
};

/// Ways a database file can be unusable.
enum class BrokenDb {
    Missing,     // nothing at the path
    NotSqlite,   // text bytes
    Truncated,   // a books.db with many rows cut in half
    DamagedPage, // a books.db with many rows whose last page is overwritten
};

/// Writes `kind` at `path` (parent folders are created). The row-holding kinds write a
/// profile's books.db with 100 highlights of 1500 bytes.
void writeBrokenDatabase(const std::filesystem::path &path, BrokenDb kind);

/// The sorted names in a folder.
QStringList folderEntries(const std::filesystem::path &folder);

/// Writes a ZIP archive of (entry name, content) pairs, every entry stored, so that damage to
/// an entry's bytes shows only at its end; a name ending in "/" is a folder. False on failure.
using ZipEntries = std::vector<std::pair<std::string, QByteArray>>;
bool writeZip(const std::filesystem::path &path, const ZipEntries &entries);

} // namespace testhelpers
