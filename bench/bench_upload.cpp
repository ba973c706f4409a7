// Sending files to a reader: the copy run (temporary name, size check, fsync of file and
// folder, rename, one file after another) against `cp -r` of the same tree followed by
// `sync`, so that both sides end with every byte on the device.

#include "benchoptions.h"
#include "uploader/uploadrun.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr double goal = 1.2;

void writeRandomFile(const fs::path &path, uint64_t bytes, std::mt19937_64 &random)
{
    std::vector<uint64_t> block(1 << 17); // 1 MiB
    std::ofstream out(path, std::ios::binary);
    while (bytes > 0) {
        for (uint64_t &word : block)
            word = random();
        const uint64_t count = std::min<uint64_t>(bytes, block.size() * sizeof(uint64_t));
        out.write(reinterpret_cast<const char *>(block.data()), static_cast<std::streamsize>(count));
        bytes -= count;
    }
}

/// Three quarters of the bytes in four large fonts, the rest in small dictionaries and ACSM
/// files of 64 KiB to 512 KiB.
std::vector<fs::path> generateTree(const fs::path &folder, uint64_t totalBytes)
{
    std::mt19937_64 random(1);
    std::vector<fs::path> files;
    fs::create_directories(folder);
    const uint64_t large = totalBytes * 3 / 4 / 4;
    for (int i = 0; i < 4; ++i) {
        files.push_back(folder / ("large" + std::to_string(i) + ".ttf"));
        writeRandomFile(files.back(), large, random);
    }
    uint64_t left = totalBytes - 4 * large;
    std::uniform_int_distribution<uint64_t> size(64 << 10, 512 << 10);
    for (int i = 0; left > 0; ++i) {
        const uint64_t bytes = std::min(left, size(random));
        files.push_back(folder / ("small" + std::to_string(i) + (i % 2 ? ".dic" : ".acsm")));
        writeRandomFile(files.back(), bytes, random);
        left -= bytes;
    }
    return files;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(dropDebugMessages);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Times the send-files copy run against cp -r."));
    parser.addHelpOption();
    const QCommandLineOption sizeOption(QStringLiteral("size-mb"),
                                        QStringLiteral("Size of the tree in MiB (default 1024)."),
                                        QStringLiteral("MB"), QStringLiteral("1024"));
    const QCommandLineOption runsOption(QStringLiteral("runs"),
                                        QStringLiteral("Timed runs of each side (default 4)."),
                                        QStringLiteral("N"), QStringLiteral("4"));
    const QCommandLineOption dirOption(QStringLiteral("dir"),
                                       QStringLiteral("Folder to work in (default: a temporary one)."),
                                       QStringLiteral("PATH"));
    parser.addOptions({sizeOption, runsOption, dirOption});
    parser.process(app);
    const uint64_t totalBytes = parser.value(sizeOption).toULongLong() << 20;
    const int runs = std::max(1, parser.value(runsOption).toInt());
    QTemporaryDir scratch(parser.isSet(dirOption) ? parser.value(dirOption) + QStringLiteral("/bench_upload-XXXXXX")
                                                  : QString());
    if (totalBytes == 0 || !scratch.isValid()) {
        std::fprintf(stderr, "bench_upload: bad size or no scratch folder\n");
        return 1;
    }
    const fs::path base(scratch.path().toStdString());
    std::printf("generating %llu MiB...\n", static_cast<unsigned long long>(totalBytes >> 20));
    const std::vector<fs::path> files = generateTree(base / "source", totalBytes);
    std::printf("%zu files\n", files.size());
    std::fflush(stdout);

    UploadTarget target;
    target.volumeMounted = [](const fs::path &) { return true; };
    target.confirmFolder = [](const fs::path &, bool) { return true; };
    std::vector<double> ours, reference;
    for (int run = 0; run < runs; ++run) {
        const fs::path copyDir = base / "cp";
        const fs::path uploadDir = base / "reader";
        fs::remove_all(copyDir);
        fs::remove_all(uploadDir);
        fs::create_directories(uploadDir);
        QProcess::execute(QStringLiteral("sync"), {});
        auto copyWithCp = [&] {
            reference.push_back(seconds([&] {
                QProcess::execute(QStringLiteral("cp"),
                                  {QStringLiteral("-r"), QString::fromStdString((base / "source").string()),
                                   QString::fromStdString(copyDir.string())});
                QProcess::execute(QStringLiteral("sync"), {});
            }));
        };
        std::vector<UploadItem> items =
            buildUploadItems(files, uploadDir, {}, UploadSettings{}).items;
        std::atomic<bool> cancel{false};
        UploadRunResult result;
        // Alternate which side goes first: the second finds the disk busier with the first's
        // write-back of other processes.
        if (run % 2)
            copyWithCp();
        ours.push_back(seconds([&] { result = runUpload(items, target, cancel); }));
        if (run % 2 == 0) {
            QProcess::execute(QStringLiteral("sync"), {});
            copyWithCp();
        }
        if (result.errors != 0) {
            std::fprintf(stderr, "bench_upload: %d files not copied\n", result.errors);
            return 1;
        }
        std::printf("run %d: copy run %.2f s, cp -r + sync %.2f s\n", run + 1, ours.back(),
                    reference.back());
        std::fflush(stdout);
    }
    const double best = *std::min_element(ours.begin(), ours.end());
    const double floor = *std::min_element(reference.begin(), reference.end());
    const double ratio = best / floor;
    std::printf("%-40s %9.2f s   cp -r + sync %8.2f s   ratio %6.2f   (goal: at most %.1f)   %s\n",
                "copy run (best)", best, floor, ratio, goal, ratio <= goal ? "PASS" : "MISS");
    auto median = [](std::vector<double> values) {
        std::sort(values.begin(), values.end());
        const size_t middle = values.size() / 2;
        return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
    };
    std::printf("%-40s %9.2f s   cp -r + sync %8.2f s   ratio %6.2f\n", "copy run (median)",
                median(ours), median(reference), median(ours) / median(reference));
    return 0;
}
