// The command line and start-up of the real binary, run through QProcess.

#include "support/testenv.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
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
        const QString app = root.filePath(QStringLiteral("app")), program = app + "/marlox";
        QVERIFY(QDir().mkpath(app) && QFile::copy(testenv::marloxBinary(), program));
        QVERIFY(testenv::writeFile((app + "/marlox.conf").toStdString(),
                                   "[settings]\nenable_debuglog=true\n"));
        const QString text =
            QString::fromUtf8(logOfStart({"-p"}, root.path(), app + "/marlox_debug.log", program));
        QVERIFY2(text.contains(app + QStringLiteral("/data\n")), qPrintable(text));
        QVERIFY(!QFileInfo::exists(root.filePath(QStringLiteral("config/marlox"))));
        QVERIFY(!QFileInfo::exists(root.filePath(QStringLiteral("tmp/marlox_debug.log"))));
    }
};

QTEST_GUILESS_MAIN(tst_commandline)
#include "tst_commandline.moc"
