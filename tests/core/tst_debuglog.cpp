// The safe opening of the log file, which lives under a fixed name in a shared folder. What
// the program writes to it at start-up is checked on the real binary in tst_commandline.

#include "core/debuglog.h"
#include "support/testenv.h"

#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace fs = std::filesystem;

class tst_debuglog : public QObject
{
    Q_OBJECT

private slots:
    void openLogFile_createsOrTruncatesPrivately()
    {
        QTemporaryDir dir;
        const std::string path = dir.filePath(QStringLiteral("jour nal é.log")).toStdString();
        for (const bool existed : {false, true}) {
            if (existed) {
                QVERIFY(testenv::writeFile(path, "yesterday's log\n"));
                ::chmod(path.c_str(), 0644);
            }
            const int fd = openLogFile(path);
            QVERIFY(fd >= 0);
            QCOMPARE(::write(fd, "x", 1), ssize_t(1));
            ::close(fd);
            QCOMPARE(testenv::readFile(path), QByteArray("x"));
            struct stat info {};
            QCOMPARE(::stat(path.c_str(), &info), 0);
            QCOMPARE(info.st_mode & 0777, 0600u);
        }
    }

    void openLogFile_refusesAllButARegularFile_data()
    {
        QTest::addColumn<QString>("kind");
        for (const char *kind : {"link to a file", "dangling link", "folder", "missing folder",
                                 "FIFO without reader", "FIFO with reader"})
            QTest::newRow(kind) << QString::fromLatin1(kind);
    }

    // Someone else may plant any of these under the log's name; none may be written through,
    // and none may block the start.
    void openLogFile_refusesAllButARegularFile()
    {
        QFETCH(QString, kind);
        QTemporaryDir dir;
        const fs::path root = dir.path().toStdString();
        const fs::path target = root / "someone-elses-file";
        fs::path log = root / "marlox_debug.log";
        int reader = -1;
        if (kind == QLatin1String("link to a file")) {
            QVERIFY(testenv::writeFile(target, "precious"));
            fs::create_symlink(target, log);
        } else if (kind == QLatin1String("dangling link")) {
            fs::create_symlink(target, log);
        } else if (kind == QLatin1String("folder")) {
            log = root;
        } else if (kind == QLatin1String("missing folder")) {
            log = root / "no/such/folder/log";
        } else {
            QCOMPARE(::mkfifo(log.c_str(), 0600), 0);
            if (kind.endsWith(QLatin1String("with reader")))
                reader = ::open(log.c_str(), O_RDONLY | O_NONBLOCK);
        }
        QCOMPARE(openLogFile(log.string()), -1);
        if (reader >= 0)
            ::close(reader);
        QCOMPARE(testenv::readFile(target),
                 kind == QLatin1String("link to a file") ? QByteArray("precious") : QByteArray());
        QVERIFY(kind == QLatin1String("link to a file") || !fs::exists(target));
    }

    void formatLogLine_keepsPlaceholdersAndDropsUnknownTypes()
    {
        QCOMPARE(formatLogLine(0, QStringLiteral("01:02:03"), QStringLiteral("a %1\nb %2")),
                 QStringLiteral("01:02:03 Debug: a %1\nb %2\n"));
        QVERIFY(formatLogLine(5, QStringLiteral("01:02:03"), QStringLiteral("x")).isEmpty());
        QVERIFY(formatLogLine(-1, QStringLiteral("01:02:03"), QStringLiteral("x")).isEmpty());
    }
};

QTEST_GUILESS_MAIN(tst_debuglog)
#include "tst_debuglog.moc"
