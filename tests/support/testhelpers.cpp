#include "support/testhelpers.h"

#include "core/textconv.h"
#include "readerfixture/readerfixture.h"

#include <QMutex>

#include <sys/stat.h>

#include <fstream>

#include <zip.h>

namespace fs = std::filesystem;

namespace testhelpers {

namespace {

QMutex s_mutex;
QStringList s_warnings;
QtMessageHandler s_previous = nullptr;

void record(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type != QtDebugMsg && type != QtInfoMsg) {
        const QMutexLocker lock(&s_mutex);
        s_warnings.append(text);
    }
    if (s_previous)
        s_previous(type, context, text);
}

} // namespace

LogRecorder::LogRecorder()
{
    s_warnings.clear();
    s_previous = qInstallMessageHandler(&record);
}

LogRecorder::~LogRecorder()
{
    qInstallMessageHandler(s_previous);
}

QStringList LogRecorder::warnings() const
{
    const QMutexLocker lock(&s_mutex);
    return s_warnings;
}

PermissionRestorer::PermissionRestorer(fs::path folder)
    : m_folder(std::move(folder))
{}

PermissionRestorer::~PermissionRestorer()
{
    ::chmod(m_folder.c_str(), 0755);
}

void writeBrokenDatabase(const fs::path &path, BrokenDb kind)
{
    fs::create_directories(path.parent_path());
    switch (kind) {
    case BrokenDb::Missing:
        return;
    case BrokenDb::NotSqlite:
        std::ofstream(path) << std::string(8192, 'x');
        return;
    case BrokenDb::Truncated:
    case BrokenDb::DamagedPage:
        break;
    }
    {
        fixture::BooksDb db(path);
        const int64_t book = db.addBook("A Book", "An Author");
        db.transaction([&] {
            for (int i = 0; i < 100; ++i)
                db.addAnnotation(book, {"highlight", i, i, 1535639951, std::string(1500, 'w')});
        });
    }
    if (kind == BrokenDb::Truncated) {
        fs::resize_file(path, fs::file_size(path) / 2);
    } else {
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(std::streamoff(fs::file_size(path)) - 4096); // SQLite's default page size
        file << std::string(4096, '\xff');
    }
}

QStringList folderEntries(const fs::path &folder)
{
    QStringList names;
    for (const fs::directory_entry &entry : fs::directory_iterator(folder))
        names.append(toQString(entry.path().filename()));
    names.sort();
    return names;
}

bool writeZip(const fs::path &path, const ZipEntries &entries)
{
    zip_t *archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, nullptr);
    if (archive == nullptr)
        return false;
    for (const auto &[name, bytes] : entries) {
        if (name.back() == '/') {
            zip_dir_add(archive, name.c_str(), ZIP_FL_ENC_UTF_8);
            continue;
        }
        zip_source_t *source =
            zip_source_buffer(archive, bytes.constData(), zip_uint64_t(bytes.size()), 0);
        const zip_int64_t index = zip_file_add(archive, name.c_str(), source, ZIP_FL_ENC_UTF_8);
        zip_set_file_compression(archive, zip_uint64_t(index), ZIP_CM_STORE, 0);
    }
    return zip_close(archive) == 0;
}

} // namespace testhelpers
