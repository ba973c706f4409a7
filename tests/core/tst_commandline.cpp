// The command line and start-up of the real binary, run through QProcess.

#include "support/testenv.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QLibraryInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

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
    // As over ssh: no window system at all. The answer comes, and no file is made.
    void answersWithoutDisplay_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QByteArray>("expected"); // the start of the answer
        QTest::newRow("--version") << "--version" << QByteArray("Marlox v" MARLOX_VERSION " (");
        QTest::newRow("--help") << "--help" << QByteArray("Usage: ");
    }

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
        QVERIFY(option == QLatin1String("--help") || answer.count('\n') == 1);
        QCOMPARE(filesBelow(root.path()), before);
    }

    void portableWithOtherDirs_refused()
    {
        QTemporaryDir root;
        const auto result = testenv::run(testenv::marloxBinary(), {"--portable", "--datadir", "Y"},
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
        QVERIFY(
            QFile::setPermissions(log, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
        const QString text = QString::fromUtf8(logOfStart(
            {"--debug", "--settingsdir", root.path(), "--datadir", dataDir}, root.path(), log));
        QVERIFY2(text.contains(dataDir + '\n'), qPrintable(text));
        QVERIFY(!text.contains(QStringLiteral("an old run")));
        struct stat info
        {};
        QCOMPARE(::stat(QFile::encodeName(log).constData(), &info), 0);
        QCOMPARE(info.st_mode & 0777, 0600u);
        QVERIFY(!QFileInfo::exists(dataDir));
    }

    // Portable mode, with the log switched on in the settings rather than by --debug: the
    // log (and all else) lives beside the program, nothing in the user's folders.
    void portableMode_debugLogBySettings_besideTheProgram()
    {
        QTemporaryDir root;
        const QString program = copyOfProgram(root);
        const QString app = QFileInfo(program).path();
        QVERIFY(testenv::writeFile((app + "/marlox.conf").toStdString(),
                                   "[settings]\nenable_debuglog=true\n"));
        const QString text =
            QString::fromUtf8(logOfStart({"-p"}, root.path(), app + "/marlox_debug.log", program));
        QVERIFY2(text.contains(app + QStringLiteral("/data\n")), qPrintable(text));
        QVERIFY(!QFileInfo::exists(root.filePath(QStringLiteral("config/marlox"))));
        QVERIFY(!QFileInfo::exists(root.filePath(QStringLiteral("tmp/marlox_debug.log"))));
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
        QVERIFY(testenv::writeFile(
            QFileInfo(program).path().toStdString() + "/qt.conf",
            "[Paths]\nPlugins=" + QFile::encodeName(root.filePath("noplugins")) + '\n'));
        QProcessEnvironment env = testenv::isolatedEnvironment(root.path());
        env.remove(QStringLiteral("QT_PLUGIN_PATH"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM_PLUGIN_PATH"),
                   QLibraryInfo::location(QLibraryInfo::PluginsPath) +
                       QStringLiteral("/platforms"));
        env.insert(QStringLiteral("DISPLAY"), display.display());

        QProcess process;
        process.setProcessEnvironment(env);
        process.start(program, {"--settingsdir", root.path()});
        const QString box = display.waitForWindow(QStringLiteral("Sqlite support missing"));
        QVERIFY2(!box.isEmpty(), process.readAllStandardError().constData());
        QVERIFY(display.pressKey(box, QStringLiteral("Return")));
        QVERIFY(process.waitForFinished());
        QCOMPARE(process.exitCode(), 254); // -2
    }
};

QTEST_GUILESS_MAIN(tst_commandline)
#include "tst_commandline.moc"
