// The command line and start-up of the real binary, run through QProcess.

#include "support/testenv.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QLibraryInfo>
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

// Runs the program until its debug log at `log` shows the main window being set up; the log.
QByteArray logOfStart(const QStringList &arguments, const QString &root, const QString &log,
                      const QString &program = testenv::marloxBinary())
{
    QByteArray text;
    testenv::startUntil(program, arguments, testenv::isolatedEnvironment(root),
                        [&](qint64, const QByteArray &) {
                            text = testenv::readFile(log.toStdString());
                            return text.contains("Setting up main window");
                        });
    return text;
}

// A copy of the program in root/app, for what it looks for beside itself.
QString copyOfProgram(const QTemporaryDir &root)
{
    const QString app = root.filePath(QStringLiteral("app"));
    QDir().mkpath(app);
    QFile::copy(testenv::marloxBinary(), app + QStringLiteral("/marlox"));
    return app + QStringLiteral("/marlox");
}

} // namespace

class tst_commandline : public QObject
{
    Q_OBJECT

private slots:
    void answersWithoutDisplay_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QByteArray>("expected"); // the start of the answer
        QTest::newRow("--version") << "--version" << QByteArray("Marlox v" MARLOX_VERSION " (");
        QTest::newRow("--help") << "--help" << QByteArray("Usage: ");
    }

    // As over ssh: no window system at all. The answer comes, and no file is made.
    void answersWithoutDisplay()
    {
        QFETCH(QString, option);
        QFETCH(QByteArray, expected);
        QTemporaryDir root;
        QProcessEnvironment env = testenv::isolatedEnvironment(root.path());
        for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
            env.remove(QString::fromLatin1(name));
        const QStringList before = filesBelow(root.path());
        const auto result = testenv::run(testenv::marloxBinary(), {option}, env, root.path());
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, 0);
        const QByteArray answer = result.standardOutput + result.standardError;
        QVERIFY2(answer.startsWith(expected), answer.constData());
        if (option == QLatin1String("--version")) {
            QCOMPARE(answer.count('\n'), 1);
        } else {
            QVERIFY(answer.contains("Marlox " MARLOX_VERSION));
            int from = 0;
            for (const char *piece : {"--debug", "--portable", "--settingsdir", "--datadir", "--version"})
                QVERIFY2((from = answer.indexOf(piece, from)) > 0, piece);
        }
        QCOMPARE(filesBelow(root.path()), before);
    }

    void portableWithOtherDirs_refused_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("-p --settingsdir") << QStringList{"-p", "--settingsdir", "X"};
        QTest::newRow("--portable --datadir") << QStringList{"--portable", "--datadir", "Y"};
    }

    void portableWithOtherDirs_refused()
    {
        QFETCH(QStringList, arguments);
        QTemporaryDir root;
        const auto result = testenv::run(testenv::marloxBinary(), arguments,
                                         testenv::isolatedEnvironment(root.path()), root.path());
        QVERIFY(result.finished);
        QCOMPARE(result.exitStatus, QProcess::NormalExit);
        QCOMPARE(result.exitCode, 1);
        QVERIFY(result.standardError.contains("Cannot set both -p"));
    }

    // An old, world-readable log gives way to a private one; a data folder with a non-ASCII
    // name reaches the log intact and is not created before it is used.
    void debugLog_replacesOldLogPrivately_keepsUtf8Paths()
    {
        QTemporaryDir root;
        const QString dataDir = root.filePath(QStringLiteral("Bücher"));
        const QString log = root.filePath(QStringLiteral("tmp/marlox_debug.log"));
        QVERIFY(testenv::writeFile(log.toStdString(), "an old run\n"));
        QVERIFY(QFile::setPermissions(log, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
        const QString text = QString::fromUtf8(logOfStart(
            {"--debug", "--settingsdir", root.path(), "--datadir", dataDir}, root.path(), log));
        QVERIFY2(text.contains(QStringLiteral("Marlox v" MARLOX_VERSION)), qPrintable(text));
        QVERIFY(text.contains(QStringLiteral(" Debug: - Datadir path:  ") + dataDir + '\n'));
        QVERIFY(!text.contains(QStringLiteral("an old run")));
        struct stat info {};
        QCOMPARE(::stat(QFile::encodeName(log).constData(), &info), 0);
        QCOMPARE(info.st_mode & 0777, 0600u);
        QVERIFY(!QFileInfo::exists(dataDir));
    }

    void debugLog_bySettings_data()
    {
        QTest::addColumn<bool>("enabled");
        QTest::newRow("on") << true;
        QTest::newRow("off") << false;
    }

    void debugLog_bySettings()
    {
        QFETCH(bool, enabled);
        QTemporaryDir root;
        const QString log = root.filePath(QStringLiteral("tmp/marlox_debug.log"));
        QVERIFY(testenv::writeFile(root.filePath(QStringLiteral("marlox.conf")).toStdString(),
                                   enabled ? "[settings]\nenable_debuglog=true\n"
                                           : "[settings]\nenable_debuglog=false\n"));
        // The window's icons are loaded after the log has been opened or not.
        const auto started = testenv::startUntil(
            testenv::marloxBinary(), {"--settingsdir", root.path()},
            testenv::isolatedEnvironment(root.path()), [&](qint64 pid, const QByteArray &) {
                const QByteArray maps = testenv::readFile("/proc/" + std::to_string(pid) + "/maps");
                return maps.contains("libqsvgicon") &&
                       (!enabled || testenv::readFile(log.toStdString()).contains("main window"));
            });
        QVERIFY(started.reached);
        QCOMPARE(QFileInfo::exists(log), enabled);
        QVERIFY(started.standardError.isEmpty());
    }

    void debugLog_refusesLinkOrFifo_data()
    {
        QTest::addColumn<bool>("fifo");
        QTest::newRow("symbolic link") << false;
        QTest::newRow("FIFO without a reader, which would block the start") << true;
    }

    void debugLog_refusesLinkOrFifo()
    {
        QFETCH(bool, fifo);
        QTemporaryDir root;
        const QString precious = root.filePath(QStringLiteral("precious.txt"));
        QVERIFY(testenv::writeFile(precious.toStdString(), "my notes\n"));
        const QProcessEnvironment env = testenv::isolatedEnvironment(root.path());
        const QString log = root.filePath(QStringLiteral("tmp/marlox_debug.log"));
        QVERIFY(fifo ? ::mkfifo(QFile::encodeName(log).constData(), 0600) == 0
                     : QFile::link(precious, log));
        const auto started = testenv::startUntil(
            testenv::marloxBinary(), {"--debug", "--settingsdir", root.path()}, env, [](qint64, const QByteArray &err) {
                return err.contains("Couldn't write to logfile");
            });
        QVERIFY2(started.reached, started.standardError.constData());
        QCOMPARE(testenv::readFile(precious.toStdString()), QByteArray("my notes\n"));
        QVERIFY(fifo ? fs::status(log.toStdString()).type() == fs::file_type::fifo
                     : QFileInfo(log).isSymLink());
    }

    void portableMode_keepsEverythingBesideTheProgram()
    {
        QTemporaryDir root;
        const QString program = copyOfProgram(root);
        const QString app = QFileInfo(program).path();
        const QString text = QString::fromUtf8(
            logOfStart({"-p", "--debug"}, root.path(), app + QStringLiteral("/marlox_debug.log"), program));
        for (const char *line : {"- Datadir path:  %1/data\n", "- Settings general:  %1/marlox.conf\n",
                                 "- Help path:  %1/help/help_en.html\n", "- Temp dir path: %1/tmp\n"})
            QVERIFY2(text.contains(QString::fromLatin1(line).arg(app)), qPrintable(text));
        QVERIFY(!QFileInfo::exists(root.filePath(QStringLiteral("config/marlox"))));
    }

    void missingSqliteDriver_refusesToStart()
    {
        // A copy of the program whose qt.conf points its plugins at an empty folder finds no
        // SQLite driver; the platform plugin still comes from the real folder.
        testenv::VirtualDisplay display;
        if (!display.isRunning())
            QSKIP(qPrintable(QStringLiteral("needs a virtual X display: ") + display.whyNot()));
        QTemporaryDir root;
        const QString program = copyOfProgram(root);
        QVERIFY(QDir().mkpath(root.filePath(QStringLiteral("noplugins"))));
        QVERIFY(testenv::writeFile(QFileInfo(program).path().toStdString() + "/qt.conf",
                                   "[Paths]\nPlugins=" + QFile::encodeName(root.filePath("noplugins")) + '\n'));
        QProcessEnvironment env = testenv::isolatedEnvironment(root.path());
        env.remove(QStringLiteral("QT_PLUGIN_PATH"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM_PLUGIN_PATH"),
                   QLibraryInfo::location(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms"));
        env.insert(QStringLiteral("DISPLAY"), display.display());

        QProcess process;
        process.setProcessEnvironment(env);
        process.start(program, {"--debug", "--settingsdir", root.path()});
        const QString box = display.waitForWindow(QStringLiteral("Sqlite support missing"));
        QVERIFY2(!box.isEmpty(), process.readAllStandardError().constData());
        QVERIFY(display.pressKey(box, QStringLiteral("Return")));
        QVERIFY(process.waitForFinished());
        QCOMPARE(process.exitCode(), 254); // -2
        QVERIFY(!testenv::readFile(root.filePath("tmp/marlox_debug.log").toStdString()).contains("Setting up core"));
    }
};

QTEST_GUILESS_MAIN(tst_commandline)
#include "tst_commandline.moc"
