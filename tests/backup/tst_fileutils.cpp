// The file utilities the program calls: sizes as text, and extracting one ZIP entry so that
// a file arrives whole or not at all and never lands outside the output folder.

#include "backup/fileutils.h"
#include "core/textconv.h"
#include "support/testenv.h"
#include "support/testhelpers.h"

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <signal.h>
#include <sys/resource.h>
#include <zip.h>

#include <filesystem>
#include <limits>
#include <memory>

namespace fs = std::filesystem;

namespace {

struct ArchiveDiscard
{
    void operator()(zip_t *archive) const { zip_discard(archive); }
};
using Archive = std::unique_ptr<zip_t, ArchiveDiscard>;

Archive openArchive(const fs::path &file, int flags = ZIP_RDONLY)
{
    int error = 0;
    return Archive(zip_open(file.c_str(), flags, &error));
}

// Text that deflates into dynamic Huffman blocks, the same on every run.
QByteArray wordText(int size)
{
    static const char *const words[] = {"alpha ", "beta ", "gamma\n", "delta ", "epsilon "};
    QByteArray text;
    for (uint32_t state = 12345; text.size() < size;) {
        state = state * 1103515245u + 12345u;
        text += words[(state >> 16) % 5];
    }
    text.truncate(size);
    return text;
}

// Names in the target's folder that start with the target's name.
QStringList besideTarget(const fs::path &target)
{
    return testhelpers::folderEntries(target.parent_path())
        .filter(QRegularExpression(QStringLiteral("^") +
                                   QRegularExpression::escape(toQString(target.filename()))));
}

bool existsOrDangles(const fs::path &path)
{
    std::error_code error;
    return fs::symlink_status(path, error).type() != fs::file_type::not_found;
}

} // namespace

class tst_fileutils : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    fs::path m_root;

    fs::path path(const fs::path &relative) const { return m_root / relative; }

    // A one-entry, deflated archive built from memory; an empty path when libzip refuses.
    fs::path singleEntryArchive(const QByteArray &name, const QByteArray &data)
    {
        const fs::path file = path("fixture.zip");
        Archive archive = openArchive(file, ZIP_CREATE | ZIP_TRUNCATE);
        zip_source_t *source = zip_source_buffer(archive.get(), data.constData(),
                                                 static_cast<zip_uint64_t>(data.size()), 0);
        if (zip_file_add(archive.get(), name.constData(), source, ZIP_FL_ENC_UTF_8) != 0) {
            zip_source_free(source);
            return {};
        }
        zip_set_file_compression(archive.get(), 0, ZIP_CM_DEFLATE, 0);
        return zip_close(archive.release()) == 0 ? file : fs::path();
    }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_root = toPath(m_dir->path());
    }

    void humanReadableSize_texts_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("expected");
        QTest::newRow("largest in bytes") << qint64(1023) << "1023 B";
        QTest::newRow("a million") << qint64(1000000) << "976.5KB";
        QTest::newRow("largest") << std::numeric_limits<qint64>::max() << "7.999EB";
        QTest::newRow("smallest") << std::numeric_limits<qint64>::min() << "-8.00EB";
    }

    void humanReadableSize_texts()
    {
        QFETCH(qint64, bytes);
        QFETCH(QString, expected);
        QCOMPARE(QString::fromStdString(humanReadableSize(bytes)), expected);
    }

    void zipExtractIndex_writesWholeEntryOverOldFiles()
    {
        const QByteArray content = wordText(3 * 4096 + 17); // whole chunks and a partial one
        const Archive archive = openArchive(singleEntryArchive("system/books.cfg", content));
        QVERIFY(archive);
        const fs::path output = path("restore/system/books.cfg");
        QVERIFY(testenv::writeFile(output, "old output"));
        // Another entry of the archive, or a file of the user's, named like a temporary file.
        fs::path lookalike = output;
        QVERIFY(testenv::writeFile(lookalike += ".tmp", "not ours"));
        QCOMPARE(zipExtractIndex(archive.get(), 0, path("restore"), true), 1);
        QCOMPARE(testenv::readFile(output), content);
        QCOMPARE(testenv::readFile(lookalike), QByteArray("not ours"));
        QCOMPARE(besideTarget(output), (QStringList{"books.cfg", "books.cfg.tmp"}));
        QCOMPARE(zipExtractIndex(archive.get(), 0, path("new/deeper/x.cfg"), false), 1);
        QCOMPARE(testenv::readFile(path("new/deeper/x.cfg")), content);
    }

    void zipExtractIndex_failure_leavesNoFile_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("output"); // relative to the test folder
        QTest::addColumn<int>("expected");
        const QString out = QStringLiteral("out/notes.txt");
        QTest::newRow("garbage in the middle") << "garbage" << out << -1;
        QTest::newRow("parent is a file") << QString() << "blocker/notes.txt" << -1;
        QTest::newRow("missing parent below a file") << QString() << "blocker/sub/notes.txt" << -2;
        QTest::newRow("disk full") << "full" << out << -1;
    }

    void zipExtractIndex_failure_leavesNoFile()
    {
        QFETCH(QString, damage);
        QFETCH(QString, output);
        QFETCH(int, expected);
        const fs::path archiveFile = singleEntryArchive("notes.txt", wordText(100000));
        QVERIFY(!archiveFile.empty());
        QByteArray bytes = testenv::readFile(archiveFile);
        // The bad bytes sit in the middle of the only entry's data, so that reading fails
        // after part of it was written.
        if (damage == "garbage")
            bytes.replace(bytes.indexOf("PK\x01\x02") / 2, 64, QByteArray(64, '\xff'));
        QVERIFY(testenv::writeFile(archiveFile, bytes));
        QVERIFY(testenv::writeFile(path("blocker"), "a file"));
        const fs::path target = path(toPath(output));
        // A file size limit makes writes fail part-way, as a full disk does.
        rlimit limit{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &limit), 0);
        const rlimit unlimited = limit;
        if (damage == "full") {
            limit.rlim_cur = 10000;
            ::signal(SIGXFSZ, SIG_IGN);
        }
        // Opened without ZIP_CHECKCONS, as callers do, so damage shows only while reading.
        const Archive archive = openArchive(archiveFile);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
        const int result = zipExtractIndex(archive.get(), 0, target, false);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &unlimited), 0);
        QCOMPARE(result, expected);
        QVERIFY(!existsOrDangles(target));
        if (fs::is_directory(target.parent_path()))
            QCOMPARE(besideTarget(target), QStringList());
        QCOMPARE(testenv::readFile(path("blocker")), QByteArray("a file"));
    }

    void zipExtractIndex_entryNameLeavingOutput_refused_data()
    {
        QTest::addColumn<QString>("entryName"); // "@" stands for the test's own folder
        QTest::newRow("parent reference") << "sub/../../escape.txt";
        QTest::newRow("absolute") << "@/escape.txt";
    }

    void zipExtractIndex_entryNameLeavingOutput_refused()
    {
        QFETCH(QString, entryName);
        entryName.replace('@', toQString(m_root));
        const Archive archive = openArchive(singleEntryArchive(entryName.toUtf8(), "payload"));
        QVERIFY(archive);
        fs::create_directories(path("restore/sub"));
        QCOMPARE(zipExtractIndex(archive.get(), 0, path("restore"), true), -1);
        QVERIFY(!existsOrDangles(path("escape.txt")));
    }
};

QTEST_GUILESS_MAIN(tst_fileutils)
#include "tst_fileutils.moc"
