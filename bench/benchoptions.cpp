#include "benchoptions.h"

#include "booksdbgenerator.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <system_error>

namespace fs = std::filesystem;

bool prepareBenchDatabase(QCommandLineParser &parser, const QCoreApplication &app,
                          const char *programName, const QTemporaryDir &scratch,
                          BenchOptions &options)
{
    const QCommandLineOption dbOption(
        QStringLiteral("db"),
        QStringLiteral("Use this books.db; generate it there first when it does not exist."),
        QStringLiteral("PATH"));
    const QCommandLineOption booksOption(QStringLiteral("books"),
                                         QStringLiteral("Books to generate."), QStringLiteral("N"),
                                         QStringLiteral("2000"));
    const QCommandLineOption annotationsOption(QStringLiteral("annotations"),
                                               QStringLiteral("Annotations to generate."),
                                               QStringLiteral("M"), QStringLiteral("100000"));
    const QCommandLineOption seedOption(QStringLiteral("seed"),
                                        QStringLiteral("Seed of the generated database."),
                                        QStringLiteral("S"), QStringLiteral("1"));
    const QCommandLineOption runsOption(QStringLiteral("runs"),
                                        QStringLiteral("Timed runs of each side; the best counts."),
                                        QStringLiteral("N"), QStringLiteral("5"));
    parser.addOptions({dbOption, booksOption, annotationsOption, seedOption, runsOption});
    parser.process(app);

    bool booksOk = false;
    bool annotationsOk = false;
    bool seedOk = false;
    bool runsOk = false;
    options.books = parser.value(booksOption).toInt(&booksOk);
    options.annotations = parser.value(annotationsOption).toInt(&annotationsOk);
    options.seed = parser.value(seedOption).toULongLong(&seedOk);
    options.runs = parser.value(runsOption).toInt(&runsOk);
    if (!booksOk || !annotationsOk || !seedOk || !runsOk || options.books < 0 ||
        options.annotations < 0 || options.runs < 1) {
        std::fprintf(stderr, "%s: --books, --annotations, --seed and --runs take numbers (runs "
                             "at least 1)\n",
                     programName);
        return false;
    }
    if (!scratch.isValid()) {
        std::fprintf(stderr, "%s: cannot create a temporary folder\n", programName);
        return false;
    }
    options.db = parser.isSet(dbOption)
                     ? fs::path(parser.value(dbOption).toStdString())
                     : fs::path(scratch.filePath(QStringLiteral("books.db")).toStdString());
    std::error_code ec;
    if (fs::exists(options.db, ec))
        return true;
    std::printf("generating %d books, %d annotations (seed %llu) ...\n", options.books,
                options.annotations, options.seed);
    std::fflush(stdout);
    BooksDbGenerator generator(options.books, options.annotations, options.seed);
    if (!generator.write(options.db)) {
        std::fprintf(stderr, "%s: cannot generate %s: %s\n", programName, options.db.c_str(),
                     qPrintable(generator.errorString()));
        return false;
    }
    options.generated = true;
    return true;
}

void dropDebugMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

double seconds(const std::function<void()> &work)
{
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
