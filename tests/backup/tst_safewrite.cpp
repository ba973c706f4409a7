#include "backup/safewrite.h"
#include "support/testenv.h"
#include "support/testhelpers.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

#include <cstring>

namespace fs = std::filesystem;

namespace {

void writeText(const fs::path &path, const std::string &text)
{
    testenv::writeFile(path, QByteArray::fromStdString(text));
}

std::string readText(const fs::path &path)
{
    return testenv::readFile(path).toStdString();
}

/// Delivers `chunks` pieces of 1 KiB, then fails, or cancels, or ends.
ChunkReader pieces(int chunks, int64_t last, std::atomic<bool> *cancelAfter = nullptr)
{
    auto left = std::make_shared<int>(chunks);
    return [=](char *buffer, uint64_t) -> int64_t {
        if (*left == 0) {
            if (cancelAfter)
                cancelAfter->store(true);
            return last;
        }
        --*left;
        std::memset(buffer, 'B', 1024);
        return 1024;
    };
}

} // namespace

class tst_safewrite : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    fs::path m_folder;
    fs::path m_target;

private slots:
    void init()
    {
        const char *tag = QTest::currentDataTag();
        m_folder = fs::path(m_dir.path().toStdString()) / QTest::currentTestFunction() /
                   (tag ? tag : "");
        fs::create_directories(m_folder);
        m_target = m_folder / "font.ttf";
        writeText(m_target, "old font A");
    }

    void copy_replacesWithSourceTime()
    {
        const fs::path source = m_folder / "new.ttf";
        writeText(source, "new font B, longer");
        SafeWriteOptions options;
        options.modificationTime = 1000000000;
        const SafeWriteResult result = safeCopyFile(source, m_target, options);
        QVERIFY2(result.ok, result.error.c_str());
        QCOMPARE(readText(m_target), std::string("new font B, longer"));
        struct stat info {};
        QCOMPARE(::stat(m_target.c_str(), &info), 0);
        QCOMPARE(int64_t(info.st_mtime), int64_t(1000000000));
        QCOMPARE(testhelpers::folderEntries(m_folder), (QStringList{"font.ttf", "new.ttf"}));
    }

    void copy_fromAnotherFileSystem()
    {
        // A reader is always another file system than the computer's disk: the copy then
        // cannot stay inside the kernel and falls back to reads and writes.
        QTemporaryDir shm(QStringLiteral("/dev/shm/tst_safewrite-XXXXXX"));
        if (!shm.isValid())
            QSKIP("no /dev/shm");
        const fs::path source = fs::path(shm.path().toStdString()) / "big.ttf";
        writeText(source, std::string(3 << 20, 'C'));
        const SafeWriteResult result = safeCopyFile(source, m_target);
        QVERIFY2(result.ok, result.error.c_str());
        QCOMPARE(readText(m_target), std::string(3 << 20, 'C'));
    }

    void failure_keepsOldFileAndLeavesNothing_data()
    {
        QTest::addColumn<int>("failure");
        QTest::newRow("read error mid-way") << 0;
        QTest::newRow("cancelled mid-way") << 1;
        QTest::newRow("size differs from expected") << 2;
        QTest::newRow("destination exists and must be kept") << 3;
        QTest::newRow("destination is a symbolic link") << 4;
        QTest::newRow("source is a folder") << 5;
    }
    void failure_keepsOldFileAndLeavesNothing()
    {
        QFETCH(int, failure);
        std::atomic<bool> cancel{false};
        SafeWriteOptions options;
        options.cancel = &cancel;
        fs::path target = m_target;
        const fs::path elsewhere = m_folder / "elsewhere.txt";
        SafeWriteResult result;
        switch (failure) {
        case 0:
            result = safeWriteFile(target, pieces(3, -1), options);
            break;
        case 1:
            result = safeWriteFile(target, pieces(3, 1024, &cancel), options);
            QVERIFY(result.cancelled);
            break;
        case 2:
            options.expectedSize = 4096;
            result = safeWriteFile(target, pieces(3, 0), options);
            break;
        case 3:
            options.keepExisting = true;
            result = safeWriteFile(target, pieces(3, 0), options);
            break;
        case 4:
            writeText(elsewhere, "old font A");
            fs::remove(target);
            fs::create_symlink(elsewhere, target);
            target = elsewhere;
            result = safeWriteFile(m_target, pieces(3, 0), options);
            break;
        case 5:
            result = safeCopyFile(m_folder, target, options);
            break;
        }
        QVERIFY(!result.ok);
        QVERIFY(!result.error.empty());
        QCOMPARE(readText(target), std::string("old font A"));
        for (const QString &name : testhelpers::folderEntries(m_folder))
            QVERIFY2(!name.startsWith('.'), qPrintable(name));
    }
};

QTEST_GUILESS_MAIN(tst_safewrite)
#include "tst_safewrite.moc"
