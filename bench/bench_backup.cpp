// Times the manual backup of a generated reader tree against Info-ZIP's zip doing the same
// work in the same run: level 1 deflate for databases, applications and fonts, stored
// dictionaries and other files.

#include "backup/backuprun.h"
#include "readers/reader.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Text-like content compresses as databases and fonts do; random bytes stand for books and
// dictionaries, which are compressed already.
void writeFile(const fs::path &path, uint64_t bytes, bool compressible, std::mt19937_64 &random)
{
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    std::vector<char> chunk(1 << 20);
    static const char words[] = "the spice must flow highlight note bookmark page chapter ";
    while (bytes > 0) {
        for (size_t i = 0; i < chunk.size(); i += 8) {
            const uint64_t value = random();
            for (size_t j = 0; j < 8 && i + j < chunk.size(); ++j) {
                chunk[i + j] = compressible ? words[(value >> (j * 6)) % (sizeof(words) - 1) / 4 * 4 + j % 4]
                                            : char(value >> (j * 8));
            }
        }
        const auto n = std::streamsize(std::min<uint64_t>(bytes, chunk.size()));
        out.write(chunk.data(), n);
        bytes -= uint64_t(n);
    }
}

// A PocketBook main memory of about `total` bytes.
void generateTree(const fs::path &root, uint64_t total)
{
    std::mt19937_64 random(42);
    const uint64_t mb = 1024 * 1024;
    writeFile(root / "system/explorer-3/explorer-3.db", total / 40, true, random);
    writeFile(root / "system/config/books.db", total / 40, true, random);
    writeFile(root / "system/config/books.db-wal", total / 200, true, random);
    for (int i = 0; i < 400; ++i) // many small fonts: 5 %
        writeFile(root / "system/fonts" / ("font" + std::to_string(i) + ".ttf"), total / 20 / 400, true, random);
    for (int i = 0; i < 100; ++i) // 5 %
        writeFile(root / "applications" / ("app" + std::to_string(i % 10)) / ("part" + std::to_string(i) + ".app"), total / 20 / 100, true, random);
    for (int i = 0; i < 200; ++i) // 20 %
        writeFile(root / "system/dictionaries" / ("dict" + std::to_string(i) + ".dic"), total / 5 / 200, false, random);
    uint64_t books = total - total / 40 * 2 - total / 200 - total / 20 * 2 - total / 5;
    for (int i = 0; books > 0; ++i) { // some large books, the rest
        const uint64_t size = std::min<uint64_t>(books, 40 * mb);
        writeFile(root / "Books" / ("shelf" + std::to_string(i % 5)) / ("book" + std::to_string(i) + (i % 2 ? ".pdf" : ".epub")), size, false, random);
        books -= size;
    }
}

double seconds(const std::function<bool()> &work, bool &ok)
{
    const auto start = std::chrono::steady_clock::now();
    ok = work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

long peakKb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // The backup logs each folder it leaves out; only warnings matter here.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type != QtDebugMsg)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({QStringLiteral("mb"), QStringLiteral("Size of the generated tree in MB."), QStringLiteral("N"), QStringLiteral("1024")});
    parser.addOption({QStringLiteral("runs"), QStringLiteral("Timed runs of each side."), QStringLiteral("N"), QStringLiteral("3")});
    parser.process(app);
    const uint64_t total = parser.value(QStringLiteral("mb")).toULongLong() * 1024 * 1024;
    const int runs = std::max(1, parser.value(QStringLiteral("runs")).toInt());

    QTemporaryDir scratch;
    const fs::path base = scratch.path().toStdString();
    const fs::path main = base / "main";
    std::printf("generating %llu MB reader tree in %s\n", (unsigned long long)(total >> 20), main.c_str());
    generateTree(main, total);
    const long peakBefore = peakKb();

    DetectionRecord record;
    record.serial = "BENCH";
    Reader reader(record);
    reader.mainpath = main;
    reader.db_main = main / "system/explorer-3/explorer-3.db";
    reader.db_main_relative = "system/explorer-3/explorer-3.db";
    ProfileInfo root;
    root.name = "root";
    root.dbPath = main / "system/config/books.db";
    root.dbPathRelative = "system/config/books.db";
    reader.profiles.push_back(root);
    BackupRequest request;
    for (int part = 0; part < backupCategoryCount; ++part) {
        const auto sources = backupSources(reader, BackupCategory(part));
        request.sources.insert(request.sources.end(), sources.begin(), sources.end());
    }
    request.skipNames = backupSkipNames(vendor_pocketbook);
    request.comment = backupComment("bench", 1, "BENCH", "Bench", "");

    // zip: the same files, deflated at level 1 except the suffixes of stored parts.
    QStringList zipArguments = {QStringLiteral("-q"), QStringLiteral("-r"), QStringLiteral("-X"), QStringLiteral("-1"),
                                QStringLiteral("-n"), QStringLiteral(".dic:.epub:.pdf"), QString()};
    zipArguments << QStringLiteral("system/explorer-3") << QStringLiteral("system/config") << QStringLiteral("system/dictionaries")
                 << QStringLiteral("applications") << QStringLiteral("system/fonts") << QStringLiteral("Books");

    double bestOurs = 1e30, bestZip = 1e30;
    uint64_t oursBytes = 0, zipBytes = 0;
    for (int run = 0; run < runs; ++run) {
        const fs::path zipOut = base / ("zip" + std::to_string(run) + ".zip");
        zipArguments[6] = QString::fromStdString(zipOut.string());
        bool ok = false;
        const double zipTime = seconds([&] {
            QProcess zip;
            zip.setWorkingDirectory(QString::fromStdString(main.string()));
            zip.start(QStringLiteral("zip"), zipArguments);
            return zip.waitForFinished(-1) && zip.exitCode() == 0;
        }, ok);
        if (!ok) {
            std::fprintf(stderr, "zip failed (is the Debian package zip installed?)\n");
            return 1;
        }
        zipBytes = fs::file_size(zipOut);
        fs::remove(zipOut);

        request.archive = base / ("ours" + std::to_string(run) + ".zip");
        std::atomic<bool> cancel{false};
        BackupResult result;
        const double oursTime = seconds([&] {
            result = runBackup(request, cancel);
            return result.outcome == BackupResult::finished && result.failed.empty();
        }, ok);
        if (!ok) {
            std::fprintf(stderr, "backup failed: %s\n", result.error.c_str());
            return 1;
        }
        oursBytes = fs::file_size(request.archive);
        fs::remove(request.archive);
        std::printf("run %d: backup %.2f s, zip %.2f s\n", run + 1, oursTime, zipTime);
        bestOurs = std::min(bestOurs, oursTime);
        bestZip = std::min(bestZip, zipTime);
    }
    const double ratio = bestOurs / bestZip;
    std::printf("best: backup %.2f s (%llu MB archive), zip %.2f s (%llu MB archive)\n", bestOurs,
                (unsigned long long)(oursBytes >> 20), bestZip, (unsigned long long)(zipBytes >> 20));
    std::printf("ratio backup/zip: %.2f (goal 1.20) %s\n", ratio, ratio <= 1.2 ? "PASS" : "MISS");
    std::printf("peak memory: %ld KB before the runs, %ld KB after\n", peakBefore, peakKb());
    return 0;
}
