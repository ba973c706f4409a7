#include "backup/safewrite.h"
#include "support/testenv.h"
#include "support/testhelpers.h"

#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <memory>

namespace fs = std::filesystem;

namespace {

/// Delivers three pieces of 1 KiB, then ends; or, given `cancelAfter`, sets it and goes on.
ChunkReader pieces(std::atomic<bool> *cancelAfter)
{
    auto left = std::make_shared<int>(3);
    return [=](char *buffer, uint64_t) -> int64_t {
        if (--*left < 0 && cancelAfter)
            cancelAfter->store(true);
        else if (*left < 0)
            return 0;
        std::memset(buffer, 'B', 1024);
        return 1024;
    };
}

} // namespace

class tst_safewrite : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    fs::path m_folder;
    fs::path m_target;

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_folder = m_dir->path().toStdString();
        m_target = m_folder / "font.ttf";
        testenv::writeFile(m_target, "old font A");
    }

    void copy_fromAnotherFileSystem()
    {
        // A reader is always another file system than the computer's disk: the copy then
        // cannot stay inside the kernel and falls back to reads and writes.
        QTemporaryDir shm(QStringLiteral("/dev/shm/tst_safewrite-XXXXXX"));
        if (!shm.isValid())
            QSKIP("no /dev/shm");
        const fs::path source = fs::path(shm.path().toStdString()) / "big.ttf";
        const QByteArray content(3 << 20, 'C');
        testenv::writeFile(source, content);
        const SafeWriteResult result = safeCopyFile(source, m_target);
        QVERIFY2(result.ok, result.error.c_str());
        QCOMPARE(testenv::readFile(m_target), content);
        QCOMPARE(testhelpers::folderEntries(m_folder), QStringList{"font.ttf"});
        // A folder (or a pipe) as the source is refused before anything is read.
        QVERIFY(!safeCopyFile(m_folder, m_target).ok);
        QCOMPARE(testenv::readFile(m_target), content);
    }

    void failure_keepsOldFileAndLeavesNothing_data()
    {
        QTest::addColumn<bool>("cancelAtEnd");
        QTest::addColumn<qint64>("expectedSize");
        QTest::addColumn<bool>("keepExisting");
        QTest::newRow("cancelled mid-way") << true << qint64(-1) << false;
        QTest::newRow("size differs from expected") << false << qint64(4096) << false;
        QTest::newRow("destination must be kept") << false << qint64(-1) << true;
    }
    void failure_keepsOldFileAndLeavesNothing()
    {
        QFETCH(bool, cancelAtEnd);
        QFETCH(qint64, expectedSize);
        QFETCH(bool, keepExisting);
        std::atomic<bool> cancel{false};
        SafeWriteOptions options;
        options.cancel = &cancel;
        options.expectedSize = expectedSize;
        options.keepExisting = keepExisting;
        const SafeWriteResult result =
            safeWriteFile(m_target, pieces(cancelAtEnd ? &cancel : nullptr), options);
        QVERIFY(!result.ok && !result.error.empty());
        QCOMPARE(result.cancelled, cancelAtEnd);
        QCOMPARE(testenv::readFile(m_target), QByteArray("old font A"));
        QCOMPARE(testhelpers::folderEntries(m_folder), QStringList{"font.ttf"});
    }
};

QTEST_GUILESS_MAIN(tst_safewrite)
#include "tst_safewrite.moc"
