// Any bytes the reader may leave as books.db: the annotation and book imports either read
// them or fail with a warning and nothing imported; they never crash or hang.
#include "database/annotationimport.h"
#include "database/bookimport.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <cstdlib>
#include <fstream>

namespace fs = std::filesystem;

namespace {

int warnings = 0;

void countWarnings(QtMsgType type, const QMessageLogContext &, const QString &)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        ++warnings;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    qInstallMessageHandler(countWarnings);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QTemporaryDir folder;
    const fs::path db = fs::path(folder.path().toStdString()) / "books.db";
    {
        std::ofstream out(db, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(data), std::streamsize(size));
    }

    warnings = 0;
    std::vector<AnnotationRecord> annotations;
    if (!importAnnotations(annotations, db) && (!annotations.empty() || warnings == 0))
        std::abort();

    warnings = 0;
    std::map<int32_t, BookInfo> books;
    if (!importBooks(books, db) && (!books.empty() || warnings == 0))
        std::abort();

    // A read-only open never leaves a journal, a log or an index beside the file.
    std::error_code error;
    for (const char *suffix : {"-journal", "-wal", "-shm"})
        fs::remove(fs::path(db) += suffix, error);
    return 0;
}
