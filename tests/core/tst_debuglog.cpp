// The log line format and the safe opening of the log file. What the handler writes at
// start-up is checked on the real binary in tst_commandline.

#include "core/debuglog.h"
#include "support/testenv.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace fs = std::filesystem;

class tst_debuglog : public QObject
{
    Q_OBJECT

private slots:
    void formatLogLine_levels_data();
    void formatLogLine_levels();
    void formatLogLine_multiLineMessage_keptAsIs();
    void currentTimeString_formatsLocalTime();
    void openLogFile_createsPrivateFile();
    void openLogFile_truncatesExistingLog();
    void openLogFile_refusesSymbolicLink();
    void openLogFile_refusesDanglingSymbolicLink();
    void openLogFile_refusesDirectoryAndMissingFolder();
    void logFilePath_keepsNonAsciiPath();
};

void tst_debuglog::formatLogLine_levels_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("expected");
    QTest::newRow("debug") << 0 << QStringLiteral("12:34:56 Debug: hello\n");
    QTest::newRow("warning") << 1 << QStringLiteral("12:34:56 Warning: hello\n");
    QTest::newRow("critical") << 2 << QStringLiteral("12:34:56 Critical: hello\n");
    QTest::newRow("fatal") << 3 << QStringLiteral("12:34:56 Fatal: hello\n");
    QTest::newRow("info") << 4 << QStringLiteral("12:34:56 Info: hello\n");
    QTest::newRow("unknown is not written") << 5 << QString();
    QTest::newRow("negative is not written") << -1 << QString();
}

void tst_debuglog::formatLogLine_levels()
{
    QFETCH(int, type);
    QFETCH(QString, expected);
    QCOMPARE(formatLogLine(type, QStringLiteral("12:34:56"), QStringLiteral("hello")), expected);
    if (type > 4 || type < 0)
        QCOMPARE(QString::fromLatin1(logLevelWord(type)), QStringLiteral("?"));
}

void tst_debuglog::formatLogLine_multiLineMessage_keptAsIs()
{
    // Placeholders in the message text are not expanded a second time.
    QCOMPARE(formatLogLine(0, QStringLiteral("01:02:03"), QStringLiteral("a %1\nb %2")),
             QStringLiteral("01:02:03 Debug: a %1\nb %2\n"));
}

void tst_debuglog::currentTimeString_formatsLocalTime()
{
    const QString time = QString::fromStdString(currentTimeString("%H:%M:%S"));
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d$")).match(time).hasMatch(),
             qPrintable(time));
    QVERIFY(currentTimeString("").empty());
}

void tst_debuglog::openLogFile_createsPrivateFile()
{
    QTemporaryDir dir;
    const std::string path = dir.filePath(QStringLiteral("marlox_debug.log")).toStdString();
    const int fd = openLogFile(path);
    QVERIFY(fd >= 0);
    ::close(fd);
    struct stat info {};
    QCOMPARE(::stat(path.c_str(), &info), 0);
    QCOMPARE(info.st_mode & 0777, 0600u);
}

void tst_debuglog::openLogFile_truncatesExistingLog()
{
    QTemporaryDir dir;
    const std::string path = dir.filePath(QStringLiteral("marlox_debug.log")).toStdString();
    QVERIFY(testenv::writeFile(path, "yesterday's log\n"));
    ::chmod(path.c_str(), 0644);
    const int fd = openLogFile(path);
    QVERIFY(fd >= 0);
    QCOMPARE(::write(fd, "x", 1), ssize_t(1));
    ::close(fd);
    QCOMPARE(testenv::readFile(path), QByteArray("x"));
    struct stat info {};
    QCOMPARE(::stat(path.c_str(), &info), 0);
    QCOMPARE(info.st_mode & 0777, 0600u);
}

void tst_debuglog::openLogFile_refusesSymbolicLink()
{
    QTemporaryDir dir;
    const fs::path target = fs::path(dir.path().toStdString()) / "someone-elses-file";
    QVERIFY(testenv::writeFile(target, "precious"));
    const fs::path link = fs::path(dir.path().toStdString()) / "marlox_debug.log";
    fs::create_symlink(target, link);
    QCOMPARE(openLogFile(link.string()), -1);
    QCOMPARE(testenv::readFile(target), QByteArray("precious"));
}

void tst_debuglog::openLogFile_refusesDanglingSymbolicLink()
{
    QTemporaryDir dir;
    const fs::path target = fs::path(dir.path().toStdString()) / "would-be-created";
    const fs::path link = fs::path(dir.path().toStdString()) / "marlox_debug.log";
    fs::create_symlink(target, link);
    QCOMPARE(openLogFile(link.string()), -1);
    QVERIFY(!fs::exists(target));
}

void tst_debuglog::openLogFile_refusesDirectoryAndMissingFolder()
{
    QTemporaryDir dir;
    QCOMPARE(openLogFile(dir.path().toStdString()), -1);
    QCOMPARE(openLogFile(dir.filePath(QStringLiteral("no/such/folder/log")).toStdString()), -1);
}

void tst_debuglog::logFilePath_keepsNonAsciiPath()
{
    QTemporaryDir dir;
    const std::string path = dir.filePath(QStringLiteral("jour nal é.log")).toStdString();
    setLogFilePath(path);
    QCOMPARE(logFilePath(), path);
    const int fd = openLogFile(logFilePath());
    QVERIFY(fd >= 0);
    ::close(fd);
    QVERIFY(fs::exists(path));
}

QTEST_GUILESS_MAIN(tst_debuglog)
#include "tst_debuglog.moc"
