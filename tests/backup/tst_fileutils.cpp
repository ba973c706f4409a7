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
        QVERIFY(testhelpers::writeZip(archiveFile, {{"notes.txt", QByteArray(100000, 'n')}}));
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
