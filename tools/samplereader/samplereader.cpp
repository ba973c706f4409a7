// marlox-sample-reader DATADIR: writes a sample PocketBook reader into a fresh data
// directory, as the local mirror of a reader the program remembers. The first run of the
// program then shows a reader with annotations without any device attached.

#include "samplecontent.h"

#include "core/settingsstore.h"
#include "readerfixture/readerfixture.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QSettings>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

const char *const sampleSerial = "PB-SAMPLE-0001";

// The reader's colour names as it stores them, "cian" included.
const char *const colours[] = {"yellow", "cian", "green", "red", "blue", "magenta", "cyan", "gray"};

/// One profile's annotations: every passage highlighted, some with a note, a bookmark now
/// and then; `shift` varies kinds, colours and times between the two profiles.
int fillProfile(const fs::path &booksDb, int shift, int64_t firstDay)
{
    fixture::BooksDb db(booksDb);
    int count = 0;
    db.transaction([&] {
        int64_t when = firstDay;
        const auto &notes = sampleNotes();
        for (const SampleBook &book : sampleBooks()) {
            const int64_t oid = db.addBook(book.title, book.author);
            int page = 3 + shift;
            for (size_t i = 0; i < book.passages.size(); ++i) {
                const size_t n = i + static_cast<size_t>(shift);
                fixture::AnnotationSpec annotation;
                annotation.kind = n % 4 == 1 ? "note" : "highlight";
                annotation.page = page;
                annotation.offset = static_cast<int>(17 * n % 900);
                annotation.created = when;
                annotation.text = book.passages[i];
                annotation.colour = colours[(n + static_cast<size_t>(count)) % 8];
                if (annotation.kind == "note" || n % 5 == 0)
                    annotation.note = notes[(n + static_cast<size_t>(count)) % notes.size()];
                db.addAnnotation(oid, annotation);
                ++count;
                // On a second reading the clauses that stood out get a highlight of their own.
                int clause = 0;
                for (const QString &part : QString::fromUtf8(book.passages[i])
                                               .split(QRegularExpression(QStringLiteral("[,;:] "))) ) {
                    if (part.size() < 18)
                        continue;
                    fixture::AnnotationSpec reread = annotation;
                    reread.kind = "highlight";
                    reread.text = part.toStdString();
                    reread.note.clear();
                    reread.offset += 40 * ++clause;
                    reread.created = when + 86400 * (30 + clause);
                    reread.colour = colours[(n + static_cast<size_t>(clause) + 3) % 8];
                    db.addAnnotation(oid, reread);
                    ++count;
                }
                if (n % 3 == 0) {
                    fixture::AnnotationSpec bookmark;
                    bookmark.kind = "bookmark";
                    bookmark.page = page + 1;
                    bookmark.created = when + 600;
                    bookmark.text = "Bookmark";
                    bookmark.colour = "";
                    db.addAnnotation(oid, bookmark);
                    ++count;
                }
                page += 7 + static_cast<int>(n % 11);
                when += 3600 * (5 + static_cast<int64_t>(n % 40));
            }
        }
    });
    return count;
}

bool isEmptyOrMissing(const fs::path &folder)
{
    std::error_code error;
    if (!fs::exists(folder, error))
        return !error;
    return fs::is_directory(folder, error) && fs::is_empty(folder, error) && !error;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 2) {
        std::fprintf(stderr, "usage: marlox-sample-reader DATADIR\n");
        return 2;
    }
    const fs::path datadir = arguments.at(1).toStdString();
    // Someone's real data is never touched: the sample goes only into a new data directory.
    if (!isEmptyOrMissing(datadir)) {
        std::printf("marlox-sample-reader: %s already holds data; leaving it alone.\n",
                    datadir.c_str());
        return 0;
    }

    try {
        fixture::ReaderTree mirror(datadir / sampleSerial / "localdbmirror");
        mirror.addExplorerDb(fixture::ExplorerLayout::OwnFolder3, {{1, "default"}, {2, "Anna"}});
        // 1 September 2025, 09:00 UTC, and a spring later for the second profile.
        const int own = fillProfile(mirror.addRootProfile(), 0, 1756717200);
        const int anna = fillProfile(mirror.addProfile("Anna"), 1, 1775034000);

        const auto prefs = openIniSettings(datadir / "devices.conf");
        prefs->beginGroup(QString::fromLatin1(sampleSerial));
        prefs->setValue(settingskeys::devSerial, QString::fromLatin1(sampleSerial));
        prefs->setValue(settingskeys::devReaderType, 1);
        prefs->setValue(settingskeys::devVendor, 1);
        prefs->setValue(settingskeys::devName, QStringLiteral("PocketBook Sample"));
        prefs->setValue(settingskeys::devDevicelabel, QStringLiteral("sample"));
        prefs->endGroup();
        prefs->sync();
        if (prefs->status() != QSettings::NoError) {
            std::fprintf(stderr, "marlox-sample-reader: cannot write %s\n",
                         (datadir / "devices.conf").c_str());
            return 1;
        }
        std::printf("marlox-sample-reader: wrote a sample reader with %d and %d annotations "
                    "into %s\n",
                    own, anna, datadir.c_str());
    } catch (const std::exception &e) {
        std::fprintf(stderr, "marlox-sample-reader: %s\n", e.what());
        return 1;
    }
    return 0;
}
