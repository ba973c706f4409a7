// The command line and start-up of the real binary, run through QProcess.

#include "core/commandline.h"
#include "support/testenv.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QLibraryInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

QStringList filesBelow(const QString &root)
{
    QStringList files;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    return files;
}

// Starts the program, waits until its debug log shows that the window was set up, and
// stops it. Returns the log's text (empty when it never got that far).
QByteArray startAndReadLog(const QStringList &arguments, const QProcessEnvironment &env,
                           const QString &logPath, const QString &program = QString())
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program.isEmpty() ? testenv::marloxBinary() : program, arguments);
    if (!process.waitForStarted())
        return {};
    QByteArray log;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 60000 && process.state() == QProcess::Running) {
        log = testenv::readFile(logPath.toStdString());
        if (log.contains("Setting up main window"))
            break;
        QTest::qWait(50);
    }
    process.kill();
    process.waitForFinished();
    return log;
}

// No window system at all, as over ssh: the answers that need none must still come.
QProcessEnvironment withoutDisplay(QProcessEnvironment env)
{
    for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        env.remove(QString::fromLatin1(name));
    return env;
}

} // namespace

class tst_commandline : public QObject
{
    Q_OBJECT

private slots:
    void version_printsOneLineAndCreatesNoFile();
    void portableWithOtherDirs_exitsWithStatusOne_data();
    void portableWithOtherDirs_exitsWithStatusOne();
    void help_listsTheOptionsInOrder();
    void debugLog_startsWithVersionAndStartupBlock();
    void debugLog_truncatedAtNextStart_andPrivate();
    void debugLog_offBySettings_createsNoLog();
    void debugLog_onBySettings_writesLog();
    void debugLog_refusesLinkOrFifo_data();
    void debugLog_refusesLinkOrFifo();
    void portableMode_keepsEverythingBesideTheProgram();
    void missingSqliteDriver_refusesToStart();
    void windowTitle_endsWithVersionOrPortableMark();
};

void tst_commandline::version_printsOneLineAndCreatesNoFile()
{
    QTemporaryDir root;
    const QProcessEnvironment env = withoutDisplay(testenv::isolatedEnvironment(root.path()));
    const QStringList before = filesBelow(root.path());

    const auto result = testenv::run(testenv::marloxBinary(), {QStringLiteral("--version")}, env,
                                     root.path());
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QVERIFY(result.standardOutput.isEmpty());
    const QString err = QString::fromUtf8(result.standardError);
    QCOMPARE(err.count(QLatin1Char('\n')), 1);
    const QRegularExpression line(QStringLiteral(
        R"(^Marlox v0\.9\.8\.2 \([^,]+, Qt v5\.15\.3\)\. Running on '.*', \S+, Qt v5\.\d+\.\d+\n$)"));
    QVERIFY2(line.match(err).hasMatch(), qPrintable(err));
    QCOMPARE(filesBelow(root.path()), before);
}

void tst_commandline::portableWithOtherDirs_exitsWithStatusOne_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("-p --settingsdir") << QStringList{"-p", "--settingsdir", "X"};
    QTest::newRow("--portable --datadir") << QStringList{"--portable", "--datadir", "Y"};
    QTest::newRow("both dirs") << QStringList{"-p", "--settingsdir", "X", "--datadir", "Y"};
}

void tst_commandline::portableWithOtherDirs_exitsWithStatusOne()
{
    QFETCH(QStringList, arguments);
    QTemporaryDir root;
    const auto result = testenv::run(testenv::marloxBinary(), arguments,
                                     testenv::isolatedEnvironment(root.path()), root.path());
    QVERIFY(result.finished);
    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(QString::fromUtf8(result.standardError).trimmed(),
             QStringLiteral("Cannot set both -p and either --datadir and/or --settingsdir"));
}

void tst_commandline::help_listsTheOptionsInOrder()
{
    QTemporaryDir root;
    const QProcessEnvironment env = withoutDisplay(testenv::isolatedEnvironment(root.path()));
    const QStringList before = filesBelow(root.path());
    const auto result =
        testenv::run(testenv::marloxBinary(), {QStringLiteral("--help")}, env, root.path());
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(filesBelow(root.path()), before);
    const QString help = QString::fromUtf8(result.standardOutput);
    QVERIFY(help.contains(QStringLiteral("Marlox 0.9.8.2")));
    const QStringList expected = {
        QStringLiteral("-h, --help"),
        QStringLiteral("--debug"),
        QStringLiteral("Enable debug logging."),
        QStringLiteral("-p, --portable"),
        QStringLiteral("Run in portable mode."),
        QStringLiteral("--settingsdir <user_settingsdir>"),
        QStringLiteral("Set settingsdir."),
        QStringLiteral("--datadir <user_datadir>"),
        QStringLiteral("Set datadir."),
        QStringLiteral("--version"),
        QStringLiteral("Version info"),
    };
    int from = 0;
    for (const QString &piece : expected) {
        const int at = help.indexOf(piece, from);
        QVERIFY2(at >= 0, qPrintable(QStringLiteral("missing or out of order: ") + piece));
        from = at + piece.size();
    }
}

void tst_commandline::debugLog_startsWithVersionAndStartupBlock()
{
    QTemporaryDir root;
    const QString settingsDir = root.filePath(QStringLiteral("conf"));
    const QString dataDir = root.filePath(QStringLiteral("data ünïcode"));
    const QString log = root.filePath(QStringLiteral("tmp/marlox_debug.log"));
    const QByteArray text = startAndReadLog(
        {QStringLiteral("--debug"), QStringLiteral("--settingsdir"), settingsDir,
         QStringLiteral("--datadir"), dataDir},
        testenv::isolatedEnvironment(root.path()), log);
    QVERIFY2(text.contains("Setting up main window"), text.constData());

    const QList<QByteArray> lines = text.split('\n');
    QVERIFY(QRegularExpression(QStringLiteral(
                                   R"(^\d\d:\d\d:\d\d Debug: Marlox v0\.9\.8\.2 \(build \(.+\); Qt v5\.15\.3\)$)"))
                .match(QString::fromUtf8(lines.value(0)))
                .hasMatch());
    QVERIFY(lines.value(1).startsWith("Running on '"));

    const QStringList block = {
        QStringLiteral("- Device scanner active? false"),
        QStringLiteral("- Portablemode?  false"),
        QStringLiteral("- App dir: "),
        QStringLiteral("- Datadir via CLI? true"),
        QStringLiteral("- Datadir path:  ") + dataDir,
        QStringLiteral("- Settings devices:  ") + dataDir + QStringLiteral("/devices.conf"),
        QStringLiteral("- Settings general via CLI? true"),
        QStringLiteral("- Settings general:  ") + settingsDir + QStringLiteral("/marlox.conf"),
        QStringLiteral("- Help path:  /usr/share/doc/marlox/help/help_en.html"),
        QStringLiteral("- Temp dir path: ") + root.filePath(QStringLiteral("tmp")),
        QStringLiteral("- Debug log?  true"),
        QStringLiteral("- Logfile (set/default): ") + log + QLatin1Char(' ') + log,
        QStringLiteral("Setting up core"),
        QStringLiteral("Setting up main window"),
    };
    const QString all = QString::fromUtf8(text);
    int from = 0;
    for (const QString &piece : block) {
        const int at = all.indexOf(QStringLiteral(" Debug: ") + piece, from);
        QVERIFY2(at >= 0, qPrintable(QStringLiteral("missing or out of order: ") + piece));
        from = at + piece.size();
    }
    // No directory is made at start-up: the data directory appears on first use.
    QVERIFY(!QFileInfo::exists(dataDir));
}

void tst_commandline::debugLog_truncatedAtNextStart_andPrivate()
{
    QTemporaryDir root;
    const QString log = root.filePath(QStringLiteral("tmp/marlox_debug.log"));
    QVERIFY(testenv::writeFile(log.toStdString(), QByteArray("an old run\n").repeated(1000)));
    QVERIFY(QFile::setPermissions(log, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                           QFileDevice::ReadOther));

    const QByteArray text = startAndReadLog(
        {QStringLiteral("--debug"), QStringLiteral("--settingsdir"), root.path()},
        testenv::isolatedEnvironment(root.path()), log);
    QVERIFY(text.contains("Setting up main window"));
    QVERIFY(!text.contains("an old run"));

    struct stat info {};
    QCOMPARE(::stat(QFile::encodeName(log).constData(), &info), 0);
    QCOMPARE(info.st_mode & 0777, 0600u);
}

void tst_commandline::debugLog_offBySettings_createsNoLog()
{
    QTemporaryDir root;
    const QString log = root.filePath(QStringLiteral("tmp/marlox_debug.log"));
    QVERIFY(testenv::writeFile(root.filePath(QStringLiteral("marlox.conf")).toStdString(),
                               "[settings]\nenable_debuglog=false\n"));
    QProcess process;
    process.setProcessEnvironment(testenv::isolatedEnvironment(root.path()));
    process.start(testenv::marloxBinary(), {QStringLiteral("--settingsdir"), root.path()});
    QVERIFY(process.waitForStarted());
    // The window is up once the process has been running for a while without dying;
    // nothing it does may create the log in the meantime.
    QVERIFY(!process.waitForFinished(3000));
    process.kill();
    process.waitForFinished();
    QVERIFY(!QFileInfo::exists(log));
    QVERIFY(process.readAllStandardError().isEmpty());
}

void tst_commandline::debugLog_onBySettings_writesLog()
{
    QTemporaryDir root;
    const QString log = root.filePath(QStringLiteral("tmp/marlox_debug.log"));
    QVERIFY(testenv::writeFile(root.filePath(QStringLiteral("marlox.conf")).toStdString(),
                               "[settings]\nenable_debuglog=true\n"));
    const QByteArray text =
        startAndReadLog({QStringLiteral("--settingsdir"), root.path()},
                        testenv::isolatedEnvironment(root.path()), log);
    QVERIFY(text.contains(" Debug: - Debug log?  true\n"));
}

void tst_commandline::debugLog_refusesLinkOrFifo_data()
{
    QTest::addColumn<bool>("fifo");
    QTest::newRow("symbolic link") << false;
    QTest::newRow("FIFO without a reader, which would block the start") << true;
}

void tst_commandline::debugLog_refusesLinkOrFifo()
{
    QFETCH(bool, fifo);
    QTemporaryDir root;
    const QString precious = root.filePath(QStringLiteral("precious.txt"));
    QVERIFY(testenv::writeFile(precious.toStdString(), "my notes\n"));
    const QProcessEnvironment env = testenv::isolatedEnvironment(root.path());
    const QString log = root.filePath(QStringLiteral("tmp/marlox_debug.log"));
    if (fifo)
        QCOMPARE(::mkfifo(QFile::encodeName(log).constData(), 0600), 0);
    else
        QVERIFY(QFile::link(precious, log));

    QProcess process;
    process.setProcessEnvironment(env);
    process.start(testenv::marloxBinary(),
                  {QStringLiteral("--debug"), QStringLiteral("--settingsdir"), root.path()});
    QVERIFY(process.waitForStarted());
    QByteArray err;
    QElapsedTimer timer;
    timer.start();
    while (!err.contains("Couldn't write to logfile") && timer.elapsed() < 60000 &&
           process.state() == QProcess::Running) {
        process.waitForReadyRead(200);
        err += process.readAllStandardError();
    }
    process.kill();
    process.waitForFinished();
    QVERIFY2(err.contains("Couldn't write to logfile"), err.constData());
    QCOMPARE(testenv::readFile(precious.toStdString()), QByteArray("my notes\n"));
    QVERIFY(fifo ? fs::status(log.toStdString()).type() == fs::file_type::fifo
                 : QFileInfo(log).isSymLink());
}

void tst_commandline::portableMode_keepsEverythingBesideTheProgram()
{
    // Portable mode works beside the executable, so run a copy of it in a folder of ours.
    QTemporaryDir root;
    const QString app = root.filePath(QStringLiteral("app"));
    QVERIFY(QDir().mkpath(app));
    const QString program = app + QStringLiteral("/marlox");
    QVERIFY(QFile::copy(testenv::marloxBinary(), program));

    const QString log = app + QStringLiteral("/marlox_debug.log");
    const QByteArray text =
        startAndReadLog({QStringLiteral("-p"), QStringLiteral("--debug")},
                        testenv::isolatedEnvironment(root.path()), log, program);
    const QString all = QString::fromUtf8(text);
    QVERIFY2(all.contains(QStringLiteral("- Portablemode?  true")), qPrintable(all));
    QVERIFY(all.contains(QStringLiteral("- App dir:  ") + app + QLatin1Char('\n')));
    QVERIFY(all.contains(QStringLiteral("- Datadir path:  ") + app + QStringLiteral("/data\n")));
    QVERIFY(all.contains(QStringLiteral("- Settings general:  ") + app +
                         QStringLiteral("/marlox.conf\n")));
    QVERIFY(all.contains(QStringLiteral("- Help path:  ") + app +
                         QStringLiteral("/help/help_en.html\n")));
    QVERIFY(all.contains(QStringLiteral("- Temp dir path: ") + app + QStringLiteral("/tmp\n")));
    QVERIFY(!QFileInfo::exists(root.filePath(QStringLiteral("config/marlox"))));
}

void tst_commandline::missingSqliteDriver_refusesToStart()
{
    // A copy of the program whose qt.conf points its plugins at an empty folder finds no
    // SQLite driver; the platform plugin still comes from the real folder.
    testenv::VirtualDisplay display;
    if (!display.isRunning())
        QSKIP(qPrintable(QStringLiteral("needs a virtual X display to answer the box: ") +
                         display.whyNot()));

    QTemporaryDir root;
    const QString app = root.filePath(QStringLiteral("app"));
    QVERIFY(QDir().mkpath(root.filePath(QStringLiteral("noplugins"))));
    QVERIFY(QDir().mkpath(app));
    const QString program = app + QStringLiteral("/marlox");
    QVERIFY(QFile::copy(testenv::marloxBinary(), program));
    QVERIFY(testenv::writeFile((app + QStringLiteral("/qt.conf")).toStdString(),
                               "[Paths]\nPlugins=" +
                                   QFile::encodeName(root.filePath(QStringLiteral("noplugins"))) +
                                   "\n"));

    QProcessEnvironment env = testenv::isolatedEnvironment(root.path());
    env.remove(QStringLiteral("QT_PLUGIN_PATH"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM_PLUGIN_PATH"),
               QLibraryInfo::location(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms"));
    env.insert(QStringLiteral("DISPLAY"), display.display());

    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, {QStringLiteral("--debug"), QStringLiteral("--settingsdir"), root.path()});
    QVERIFY(process.waitForStarted());
    const QString box = display.waitForWindow(QStringLiteral("Sqlite support missing"));
    QVERIFY2(!box.isEmpty(), process.readAllStandardError().constData());
    QVERIFY(display.pressKey(box, QStringLiteral("Return")));
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QVERIFY2(process.exitCode() == 254, process.readAllStandardError().constData()); // -2
    const QByteArray log = testenv::readFile(root.filePath(QStringLiteral("tmp/marlox_debug.log")).toStdString());
    QVERIFY(log.contains(" Debug: Sqlite support missing\n"));
    QVERIFY(!log.contains("Setting up core"));
}

void tst_commandline::windowTitle_endsWithVersionOrPortableMark()
{
    QCOMPARE(mainWindowTitle(QStringLiteral("Marlox"), false), QStringLiteral("Marlox 0.9.8.2 "));
    QCOMPARE(mainWindowTitle(QStringLiteral("Marlox"), true),
             QStringLiteral("Marlox 0.9.8.2  [Portable mode]"));
}

QTEST_GUILESS_MAIN(tst_commandline)
#include "tst_commandline.moc"
