// The safe opening of the log file, which lives under a fixed name in a shared folder. That
// an old log is replaced by a private one is checked on the real binary in tst_commandline.

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
    void openLogFile_refusesAllButARegularFile_data()
    {
        QTest::addColumn<QString>("kind");
        for (const char *kind :
             {"link to a file", "dangling link", "FIFO without reader", "FIFO with reader"})
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
        const fs::path log = root / "marlox_debug.log";
        const bool toFile = kind == QLatin1String("link to a file");
        if (toFile)
            QVERIFY(testenv::writeFile(target, "precious"));
        if (kind.startsWith(QLatin1String("FIFO")))
            QCOMPARE(::mkfifo(log.c_str(), 0600), 0);
        else
            fs::create_symlink(target, log);
        const int reader = kind.endsWith(QLatin1String("with reader"))
                               ? ::open(log.c_str(), O_RDONLY | O_NONBLOCK)
                               : -1;
        QCOMPARE(openLogFile(log.string()), -1);
        if (reader >= 0)
            ::close(reader);
        QCOMPARE(testenv::readFile(target), toFile ? QByteArray("precious") : QByteArray());
        QVERIFY(toFile || !fs::exists(target));
    }

    // A message is never taken for a format string; unknown message types write nothing.
    void formatLogLine_keepsPlaceholdersAndDropsUnknownTypes()
    {
        const QString text = QStringLiteral("a %1\nb %2");
        QVERIFY(formatLogLine(0, QStringLiteral("01:02:03"), text).endsWith(text + '\n'));
        QVERIFY(formatLogLine(-1, QString(), text).isEmpty());
    }
};

QTEST_GUILESS_MAIN(tst_debuglog)
#include "tst_debuglog.moc"
