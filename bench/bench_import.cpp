#include "benchoptions.h"
#include "booksdbgenerator.h"

#include "database/profileinfo.h"
#include "readers/reader.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVariant>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char **environ;

namespace fs = std::filesystem;

namespace {

// The two statements of the import, character for character (the runs of nine blanks too):
// the floor is the sqlite3 shell running exactly these.
const char *const bookQuery = "SELECT i.OID, t.TagID, t.Val FROM Items i         LEFT JOIN Tags t "
                              "ON i.OID=t.ItemID         WHERE ParentID IS NULL AND State = 0 "
                              "AND TagID < 52         ORDER BY i.OID, t.TagID";
const char *const annotationQuery =
    "SELECT ParentID, i.OID, i.TimeAlt, t.TagID, t.Val FROM Items i         LEFT JOIN Tags t "
    "ON i.OID=t.ItemID         WHERE State = 0 AND TagID > 100         ORDER BY i.OID, t.TagID";

constexpr double ratioGoal = 2.0;
constexpr double memoryGoalMb = 150.0;
constexpr int memoryGoalAnnotations = 100000;

// ---- the measured process: one import, or only the start-up, then its figures on stdout ----

// VmHWM, not ru_maxrss: at exec the kernel folds the old address space's peak into
// ru_maxrss, so a child spawned from a large parent would report the parent's size.
long memoryKb(const char *field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    const size_t length = std::strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, length, field) == 0 && line.size() > length && line[length] == ':')
            return std::stol(line.substr(length + 1));
    }
    return -1;
}

long long cpuTime()
{
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// What every start of the program does before any import: an application object and the
// SQLite driver, whose plugin is loaded once per process.
void startUp()
{
    qInstallMessageHandler(dropDebugMessages);
    const QString warmUp = QStringLiteral("bench-warmup");
    QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), warmUp);
    QSqlDatabase::removeDatabase(warmUp);
}

int measuredProcess(int argc, char *argv[], const char *dbPath)
{
    QCoreApplication app(argc, argv);
    startUp();
    DetectionRecord record;
    record.serial = "bench";
    Reader reader(record);
    long long nanoseconds = 0;
    long long cpuNanoseconds = 0;
    bool ok = true;
    if (dbPath) {
        ProfileInfo profile;
        profile.name = "root";
        profile.dbPath = dbPath;
        reader.profiles.push_back(profile);
        const long long cpuStart = cpuTime();
        const auto start = std::chrono::steady_clock::now();
        ok = reader.getAnnotations(0);
        const auto end = std::chrono::steady_clock::now();
        cpuNanoseconds = cpuTime() - cpuStart;
        nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count();
    }
    std::printf("%lld %lld %zu %zu %ld %ld\n", nanoseconds, cpuNanoseconds, reader.books.size(),
                reader.annotations.size(), memoryKb("VmHWM"), memoryKb("VmRSS"));
    std::fflush(stdout);
    return ok ? 0 : 1;
}

// ---- the driver ----

struct ProcessRun
{
    bool ok = false; // ran and exited with status 0
    double seconds = 0;
    double cpuSeconds = 0; // user + system
    std::string output;
    std::string failure;
};

// Wall time from spawn to reaping. stdin comes from `input` when given; stdout is captured or
// thrown away; stderr is ours.
ProcessRun runProcess(const std::vector<std::string> &args, const std::string &input,
                      bool captureOutput)
{
    ProcessRun run;
    std::vector<char *> argv;
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);

    int pipeEnds[2] = {-1, -1};
    if (captureOutput && ::pipe2(pipeEnds, O_CLOEXEC) != 0) {
        run.failure = std::string("pipe: ") + std::strerror(errno);
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!input.empty())
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, input.c_str(), O_RDONLY, 0);
    if (captureOutput)
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);

    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (captureOutput)
        ::close(pipeEnds[1]);
    if (spawned != 0) {
        if (captureOutput)
            ::close(pipeEnds[0]);
        run.failure = args[0] + ": " + std::strerror(spawned);
        return run;
    }
    if (captureOutput) {
        char buffer[4096];
        ssize_t got = 0;
        while ((got = ::read(pipeEnds[0], buffer, sizeof buffer)) != 0) {
            if (got > 0)
                run.output.append(buffer, static_cast<size_t>(got));
            else if (errno != EINTR)
                break;
        }
        ::close(pipeEnds[0]);
    }
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    const auto end = std::chrono::steady_clock::now();
    run.seconds = std::chrono::duration<double>(end - start).count();
    run.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!run.ok)
        run.failure = args[0] + (WIFEXITED(status)
                                     ? " exited with status " + std::to_string(WEXITSTATUS(status))
                                     : std::string(" was killed by a signal"));
    return run;
}

struct ChildFigures
{
    double seconds = 0;
    double cpuSeconds = 0;
    size_t books = 0;
    size_t annotations = 0;
    double peakMb = 0;
    double heldMb = 0;
};

bool parseChild(const ProcessRun &run, ChildFigures &figures)
{
    long long nanoseconds = 0;
    long long cpuNanoseconds = 0;
    unsigned long long books = 0;
    unsigned long long annotations = 0;
    long peakKb = 0;
    long heldKb = 0;
    if (std::sscanf(run.output.c_str(), "%lld %lld %llu %llu %ld %ld", &nanoseconds,
                    &cpuNanoseconds, &books, &annotations, &peakKb, &heldKb) != 6)
        return false;
    figures.seconds = static_cast<double>(nanoseconds) / 1e9;
    figures.cpuSeconds = static_cast<double>(cpuNanoseconds) / 1e9;
    figures.books = books;
    figures.annotations = annotations;
    figures.peakMb = static_cast<double>(peakKb) / 1024.0;
    figures.heldMb = static_cast<double>(heldKb) / 1024.0;
    return true;
}

struct Expected
{
    long long books = -1;
    long long annotations = -1;
    long long bookRows = -1;
    long long annotationRows = -1;
};

long long countOf(QSqlDatabase &db, const QString &sql)
{
    QSqlQuery query(db);
    if (!query.exec(sql) || !query.next()) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(sql), qPrintable(query.lastError().text()));
        return -1;
    }
    return query.value(0).toLongLong();
}

// What a correct import returns, counted by SQL of our own: every live book with one of the
// tags 16, 17, 34, 46, 51; every live item with tag 101.
Expected countExpected(const fs::path &db)
{
    Expected expected;
    const QString connection = QStringLiteral("bench-expected");
    {
        QSqlDatabase sqlite = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        sqlite.setDatabaseName(QString::fromStdString(db.string()));
        sqlite.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (sqlite.open()) {
            expected.books = countOf(
                sqlite, QStringLiteral("SELECT COUNT(DISTINCT i.OID) FROM Items i JOIN Tags t "
                                       "ON t.ItemID = i.OID WHERE i.ParentID IS NULL AND "
                                       "i.State = 0 AND t.TagID IN (16, 17, 34, 46, 51)"));
            expected.annotations = countOf(
                sqlite, QStringLiteral("SELECT COUNT(*) FROM Items i JOIN Tags t ON t.ItemID = "
                                       "i.OID WHERE i.State = 0 AND t.TagID = 101"));
            expected.bookRows = countOf(
                sqlite, QStringLiteral("SELECT COUNT(*) FROM (%1)").arg(QLatin1String(bookQuery)));
            expected.annotationRows = countOf(
                sqlite,
                QStringLiteral("SELECT COUNT(*) FROM (%1)").arg(QLatin1String(annotationQuery)));
        } else {
            std::fprintf(stderr, "%s: %s\n", db.c_str(), qPrintable(sqlite.lastError().text()));
        }
        sqlite.close();
    }
    QSqlDatabase::removeDatabase(connection);
    return expected;
}

struct Series
{
    std::vector<double> values;

    double best() const { return *std::min_element(values.begin(), values.end()); }
    double worst() const { return *std::max_element(values.begin(), values.end()); }
    double median() const
    {
        std::vector<double> sorted = values;
        std::sort(sorted.begin(), sorted.end());
        const size_t middle = sorted.size() / 2;
        return sorted.size() % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
    }
    std::string milliseconds() const
    {
        std::string text;
        for (const double value : values) {
            char buffer[32];
            std::snprintf(buffer, sizeof buffer, "%s%.1f", text.empty() ? "" : " ", value * 1e3);
            text += buffer;
        }
        return text;
    }
};

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

int fail(const std::string &what)
{
    std::fprintf(stderr, "bench_import: %s\n", what.c_str());
    return 1;
}

const char *verdict(bool met)
{
    return met ? "PASS" : "MISS";
}

} // namespace

int main(int argc, char *argv[])
{
    // The measured processes: a spawned copy of this program with one of these first.
    if (argc == 3 && std::strcmp(argv[1], "--import-once") == 0)
        return measuredProcess(argc, argv, argv[2]);
    if (argc == 2 && std::strcmp(argv[1], "--startup-only") == 0)
        return measuredProcess(argc, argv, nullptr);

    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Times the import of one profile's books.db (books, then annotations, into a Reader) "
        "against the sqlite3 shell running the import's two SELECT statements on the same file, "
        "and measures the import's peak memory.\n"
        "--import-once PATH runs one import in this process and prints: nanoseconds, books, "
        "annotations, peak and held RSS in KiB (for profilers); --startup-only the same "
        "without the import."));
    parser.addHelpOption();
    QTemporaryDir scratch;
    BenchOptions options;
    if (!prepareBenchDatabase(parser, app, "bench_import", scratch, options))
        return 2;
    const fs::path db = options.db;
    const int runs = options.runs;
    const std::string origin =
        options.generated ? "generated, seed " + std::to_string(options.seed) : "reused";
    const Expected expected = countExpected(db);
    if (expected.books < 0 || expected.annotations < 0)
        return fail("cannot read " + db.string());

    const std::string statements = scratch.filePath(QStringLiteral("statements.sql")).toStdString();
    const std::string empty = scratch.filePath(QStringLiteral("empty.sql")).toStdString();
    if (!writeFile(QString::fromStdString(statements),
                   QByteArray(bookQuery) + ";\n" + QByteArray(annotationQuery) + ";\n") ||
        !writeFile(QString::fromStdString(empty), QByteArray()))
        return fail("cannot write the statements file");

    // -init /dev/null keeps a user's ~/.sqliterc out of the measurement.
    const std::vector<std::string> shell{"sqlite3", "-batch",    "-readonly",
                                         "-init",   "/dev/null", db.string()};
    std::error_code ec;
    const std::string self = fs::read_symlink("/proc/self/exe", ec).string();
    if (ec)
        return fail("cannot find this program's own path");
    const std::vector<std::string> importer{self, "--import-once", db.string()};
    const std::vector<std::string> idler{self, "--startup-only"};

    // One untimed round first, so every timed run finds the file in the page cache and the
    // binaries loaded; then the two sides alternate, so drift in the machine hits both alike.
    for (const ProcessRun &warm :
         {runProcess(shell, statements, false), runProcess(importer, {}, true)}) {
        if (!warm.ok)
            return fail(warm.failure);
    }
    Series floor;
    Series floorCpu;
    Series shellStart;
    Series import;
    Series importCpu;
    std::vector<ChildFigures> imports;
    std::vector<ChildFigures> idles;
    for (int i = 0; i < runs; ++i) {
        const ProcessRun query = runProcess(shell, statements, false);
        const ProcessRun bare = runProcess(shell, empty, false);
        const ProcessRun loaded = runProcess(importer, {}, true);
        const ProcessRun idle = runProcess(idler, {}, true);
        for (const ProcessRun *run : {&query, &bare, &loaded, &idle}) {
            if (!run->ok)
                return fail(run->failure);
        }
        ChildFigures figures;
        ChildFigures idleFigures;
        if (!parseChild(loaded, figures) || !parseChild(idle, idleFigures))
            return fail("unreadable figures from a measured process");
        if (static_cast<long long>(figures.books) != expected.books ||
            static_cast<long long>(figures.annotations) != expected.annotations)
            return fail("the import returned " + std::to_string(figures.books) + " books and " +
                        std::to_string(figures.annotations) + " annotations, expected " +
                        std::to_string(expected.books) + " and " +
                        std::to_string(expected.annotations));
        floor.values.push_back(query.seconds);
        floorCpu.values.push_back(query.cpuSeconds);
        shellStart.values.push_back(bare.seconds);
        import.values.push_back(figures.seconds);
        importCpu.values.push_back(figures.cpuSeconds);
        imports.push_back(figures);
        idles.push_back(idleFigures);
    }

    double peakMb = 0;
    double heldMb = 0;
    for (const ChildFigures &figures : imports) {
        peakMb = std::max(peakMb, figures.peakMb);
        heldMb = std::max(heldMb, figures.heldMb);
    }
    double startMb = 1e9;
    for (const ChildFigures &figures : idles)
        startMb = std::min(startMb, figures.peakMb);
    const double ratio = import.best() / floor.best();
    const double cpuRatio = importCpu.best() / floorCpu.best();
    double load[3] = {0, 0, 0};
    const bool loadKnown = ::getloadavg(load, 3) == 3;
    const long cores = ::sysconf(_SC_NPROCESSORS_ONLN);
    const double bytes = static_cast<double>(fs::file_size(db, ec));

    std::printf("Marlox import benchmark: best of %d runs each; times relative to the sqlite3 "
                "shell running the import's two SELECT statements on the same file\n\n",
                runs);
    std::printf("database  %s (%s)\n", db.c_str(), origin.c_str());
    std::printf("          %.1f MB: %lld books, %lld annotations; rows: %lld from the book "
                "query, %lld from the annotation query\n",
                bytes / 1e6, expected.books, expected.annotations, expected.bookRows,
                expected.annotationRows);
    std::printf("floor     sqlite3 shell, both SELECTs to /dev/null, whole process: %8.1f ms   "
                "(median %.1f, worst %.1f; shell start-up alone %.1f ms)\n",
                floor.best() * 1e3, floor.median() * 1e3, floor.worst() * 1e3,
                shellStart.best() * 1e3);
    std::printf("import    Reader::getAnnotations(0), books then annotations:  %8.1f ms   "
                "(median %.1f, worst %.1f)\n",
                import.best() * 1e3, import.median() * 1e3, import.worst() * 1e3);
    std::printf("          runs, ms: floor [%s], import [%s]\n", floor.milliseconds().c_str(),
                import.milliseconds().c_str());
    std::printf("cpu       user + system time, best: floor %.1f ms, import %.1f ms, ratio %.2f "
                "(steadier than wall time on a busy machine)\n",
                floorCpu.best() * 1e3, importCpu.best() * 1e3, cpuRatio);
    std::printf("ratio     import / floor = %.2f   (goal: at most %.0f)   %s\n", ratio, ratioGoal,
                verdict(ratio <= ratioGoal));
    std::printf("memory    peak RSS of the importing process %.1f MB; start-up alone %.1f MB, "
                "so the import's own peak is %.1f MB; held after the import %.1f MB\n",
                peakMb, startMb, peakMb - startMb, heldMb);
    if (expected.annotations == memoryGoalAnnotations)
        std::printf("          (goal: peak under %.0f MB for %d annotations)   %s\n", memoryGoalMb,
                    memoryGoalAnnotations, verdict(peakMb < memoryGoalMb));
    else
        std::printf("          (the goal of %.0f MB is set for %d annotations: not judged)\n",
                    memoryGoalMb, memoryGoalAnnotations);
    if (loadKnown && load[0] > static_cast<double>(cores))
        std::printf("\nnote: load average %.1f on %ld cores: other work shared the CPUs, the wall "
                    "times are noisy; compare the cpu line\n",
                    load[0], cores);
    return 0;
}
