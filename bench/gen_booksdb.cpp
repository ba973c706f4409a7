#include "booksdbgenerator.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

bool readCount(const QCommandLineParser &parser, const QCommandLineOption &option, int &value)
{
    bool ok = false;
    value = parser.value(option).toInt(&ok);
    if (ok && value >= 0)
        return true;
    std::fprintf(stderr, "--%s needs a count of 0 or more\n", qPrintable(option.names().first()));
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("marlox-gen-booksdb"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Writes a PocketBook profile books.db filled with synthetic books and "
                       "annotations, the same file for the same sizes and seed."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("OUT.db"), QStringLiteral("File to create."));
    const QCommandLineOption books(QStringLiteral("books"), QStringLiteral("Live books."),
                                   QStringLiteral("N"), QStringLiteral("2000"));
    const QCommandLineOption annotations(QStringLiteral("annotations"),
                                         QStringLiteral("Live annotations."), QStringLiteral("M"),
                                         QStringLiteral("100000"));
    const QCommandLineOption seed(QStringLiteral("seed"), QStringLiteral("Random seed."),
                                  QStringLiteral("S"), QStringLiteral("1"));
    const QCommandLineOption force(QStringLiteral("force"),
                                   QStringLiteral("Replace OUT.db when it exists."));
    parser.addOptions({books, annotations, seed, force});
    parser.process(app);

    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1) {
        std::fprintf(stderr, "%s", qPrintable(parser.helpText()));
        return 2;
    }
    int bookCount = 0;
    int annotationCount = 0;
    if (!readCount(parser, books, bookCount) || !readCount(parser, annotations, annotationCount))
        return 2;
    bool seedOk = false;
    const qulonglong seedValue = parser.value(seed).toULongLong(&seedOk);
    if (!seedOk) {
        std::fprintf(stderr, "--seed needs a number\n");
        return 2;
    }

    const fs::path out = positional.first().toStdString();
    if (parser.isSet(force)) {
        std::error_code ec;
        fs::remove(out, ec);
    }
    QElapsedTimer timer;
    timer.start();
    BooksDbGenerator generator(bookCount, annotationCount, seedValue);
    if (!generator.write(out)) {
        std::fprintf(stderr, "marlox-gen-booksdb: %s\n", qPrintable(generator.errorString()));
        return 1;
    }
    const BooksDbContent &content = generator.content();
    std::error_code ec;
    const auto bytes = fs::file_size(out, ec);
    std::printf("%s: %d books, %d annotations (%d highlights, %d notes, %d bookmarks), "
                "%d deleted items, %lld tag rows, %.1f MB, %.1f s\n",
                out.c_str(), content.books, content.annotations, content.highlights, content.notes,
                content.bookmarks, content.deletedItems, static_cast<long long>(content.tagRows),
                ec ? 0.0 : bytes / 1e6, timer.elapsed() / 1000.0);
    return 0;
}
