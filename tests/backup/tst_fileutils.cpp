// Extracting a ZIP entry that fails part-way: nothing is left under the entry's name or
// beside it. What any archive may do (names leaving the folder, entries named like temporary
// files, damage anywhere) is the ZIP fuzz target's, with those cases in its seed corpus.

#include "backup/fileutils.h"
#include "core/textconv.h"
#include "support/testenv.h"
#include "support/testhelpers.h"

#include <QTemporaryDir>
#include <QtTest>

#include <signal.h>
#include <sys/resource.h>
#include <zip.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

// A one-entry archive, stored: damage shows only at the entry's end, after most is written.
void writeArchive(const fs::path &file, const QByteArray &data)
{
    zip_t *archive = zip_open(file.c_str(), ZIP_CREATE | ZIP_TRUNCATE, nullptr);
    zip_source_t *source =
        zip_source_buffer(archive, data.constData(), zip_uint64_t(data.size()), 0);
    QCOMPARE(zip_file_add(archive, "notes.txt", source, ZIP_FL_ENC_UTF_8), zip_int64_t(0));
    zip_set_file_compression(archive, 0, ZIP_CM_STORE, 0);
    QCOMPARE(zip_close(archive), 0);
}

} // namespace

class tst_fileutils : public QObject
{
    Q_OBJECT

private slots:
    void zipExtractIndex_failurePartWay_leavesNoFile_data()
    {
        QTest::addColumn<bool>("diskFull"); // else the entry's data is damaged in the middle
        QTest::newRow("damaged entry") << false;
        QTest::newRow("disk full") << true;
    }

    void zipExtractIndex_failurePartWay_leavesNoFile()
    {
        QFETCH(bool, diskFull);
        const QTemporaryDir dir;
        const fs::path archiveFile = toPath(dir.filePath("notes.zip"));
        writeArchive(archiveFile, QByteArray(100000, 'n'));
        QByteArray bytes = testenv::readFile(archiveFile);
        if (!diskFull)
            bytes.replace(bytes.indexOf("PK\x01\x02") / 2, 64, QByteArray(64, '\xff'));
        QVERIFY(testenv::writeFile(archiveFile, bytes));
        // A file size limit makes writes fail part-way, as a full disk does.
        rlimit limit{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &limit), 0);
        const rlimit unlimited = limit;
        if (diskFull)
            limit.rlim_cur = 10000;
        ::signal(SIGXFSZ, SIG_IGN);
        // Opened without ZIP_CHECKCONS, as callers do, so damage shows only while reading.
        zip_t *archive = zip_open(archiveFile.c_str(), ZIP_RDONLY, nullptr);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
        const int result = zipExtractIndex(archive, 0, toPath(dir.filePath("out")), true);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &unlimited), 0);
        zip_discard(archive);
        QCOMPARE(result, -1);
        QCOMPARE(testhelpers::folderEntries(toPath(dir.filePath("out"))), QStringList());
    }
};

QTEST_GUILESS_MAIN(tst_fileutils)
#include "tst_fileutils.moc"
