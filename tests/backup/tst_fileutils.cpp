#include "backup/fileutils.h"
#include "core/textconv.h"
#include "support/testenv.h"
#include "support/testhelpers.h"
#include "support/zipinspect.h"

#include <QList>
#include <QPair>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>
#include <utime.h>
#include <sys/stat.h>
#include <zip.h>

#include <filesystem>
#include <limits>
#include <memory>
#include <vector>

namespace fs = std::filesystem;

Q_DECLARE_METATYPE(fs::copy_options)

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

bool closeArchive(Archive &archive)
{
    return zip_close(archive.get()) == 0 && archive.release() != nullptr;
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

fs::path withTmp(fs::path path)
{
    return path += ".tmp";
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
        if (!archive)
            return {};
        zip_source_t *source = zip_source_buffer(archive.get(), data.constData(),
                                                 static_cast<zip_uint64_t>(data.size()), 0);
        if (zip_file_add(archive.get(), name.constData(), source, ZIP_FL_ENC_UTF_8) != 0) {
            zip_source_free(source);
            return {};
        }
        zip_set_file_compression(archive.get(), 0, ZIP_CM_DEFLATE, 0);
        return closeArchive(archive) ? file : fs::path();
    }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_root = toPath(m_dir->path());
    }

    void copyFileSafe_outcomes_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("destination");
        QTest::addColumn<fs::copy_options>("options");
        QTest::addColumn<bool>("expected");
        QTest::addColumn<QByteArray>("destinationAfter"); // null: must not exist
        const auto none = fs::copy_options::none;
        const QByteArray copied("new"), old("old");
        QTest::newRow("new destination") << "new.txt" << "copy.txt" << none << true << copied;
        QTest::newRow("onto the same path") << "new.txt" << "new.txt" << none << false << copied;
        QTest::newRow("missing source") << "missing.txt" << "copy.txt" << none << false << QByteArray();
        QTest::newRow("existing destination") << "new.txt" << "old.txt" << none << false << old;
        QTest::newRow("skip existing") << "new.txt" << "old.txt" << fs::copy_options::skip_existing
                                       << false << old;
        QTest::newRow("overwrite existing")
            << "new.txt" << "old.txt" << fs::copy_options::overwrite_existing << true << copied;
        QTest::newRow("folder missing") << "new.txt" << "no/copy.txt" << none << false << QByteArray();
        QTest::newRow("relative source") << "REL" << "copy.txt" << none << false << QByteArray();
    }

    void copyFileSafe_outcomes()
    {
        QFETCH(QString, source);
        QFETCH(QString, destination);
        QFETCH(fs::copy_options, options);
        QFETCH(bool, expected);
        QFETCH(QByteArray, destinationAfter);
        QVERIFY(testenv::writeFile(path("new.txt"), "new"));
        QVERIFY(testenv::writeFile(path("old.txt"), "old"));
        const fs::path from = source == QLatin1String("REL")
                                  ? fs::relative(path("new.txt"), fs::current_path())
                                  : path(toPath(source));
        const fs::path to = path(toPath(destination));
        if (!expected && options == fs::copy_options::none)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(".")));
        QCOMPARE(copyFileSafe(from, to, options), expected);
        if (destinationAfter.isNull())
            QVERIFY(!fs::exists(to));
        else
            QCOMPARE(testenv::readFile(to), destinationAfter);
    }

    void getWalFile_companion_data()
    {
        QTest::addColumn<QByteArray>("walContent"); // null: no companion file
        QTest::addColumn<bool>("always");
        QTest::addColumn<bool>("expectWal");
        QTest::newRow("absent") << QByteArray() << false << false;
        QTest::newRow("absent, always") << QByteArray() << true << true;
        QTest::newRow("empty") << QByteArray("") << false << false;
        QTest::newRow("non-empty") << QByteArray("log") << false << true;
    }

    void getWalFile_companion()
    {
        QFETCH(QByteArray, walContent);
        QFETCH(bool, always);
        QFETCH(bool, expectWal);
        QVERIFY(testenv::writeFile(path("explorer-3.db"), "database"));
        if (!walContent.isNull())
            QVERIFY(testenv::writeFile(path("explorer-3.db-wal"), walContent));
        QCOMPARE(toQString(getWalFile(path("explorer-3.db"), always)),
                 expectWal ? toQString(path("explorer-3.db-wal")) : QString());
    }

    void getFileSizeWriteTime_statValuesOrMinusOnes()
    {
        QVERIFY(testenv::writeFile(path("book.pdf"), "12345"));
        const utimbuf times{1600000000, 1500000000};
        QCOMPARE(::utime(path("book.pdf").c_str(), &times), 0);
        const FileSizeWriteTime book = getFileSizeWriteTime(path("book.pdf"));
        QCOMPARE(book.writeTime, 1500000000);
        QCOMPARE(book.size, int64_t{5});
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(".")));
        const FileSizeWriteTime missing = getFileSizeWriteTime(path("missing.pdf"));
        QCOMPARE(missing.writeTime, -1);
        QCOMPARE(missing.size, int64_t{-1});
    }

    void humanReadableSize_texts_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("expected");
        QTest::newRow("largest in bytes") << qint64(1023) << "1023 B";
        QTest::newRow("a million") << qint64(1000000) << "976.5KB";
        QTest::newRow("just below a MiB") << qint64(1048575) << "1023.KB";
        QTest::newRow("five GiB") << (qint64(5) << 30) << "5.000GB";
        QTest::newRow("largest") << std::numeric_limits<qint64>::max() << "7.999EB";
        QTest::newRow("smallest") << std::numeric_limits<qint64>::min() << "-8.00EB";
    }

    void humanReadableSize_texts()
    {
        QFETCH(qint64, bytes);
        QFETCH(QString, expected);
        QCOMPARE(QString::fromStdString(humanReadableSize(bytes)), expected);
    }

    void getDirectorySize_countsFilesAndErrors()
    {
        QVERIFY(testenv::writeFile(path("one/a.txt"), "abc"));
        QVERIFY(testenv::writeFile(path("one/sub/cache/b.txt"), "12345")); // not directly inside
        QVERIFY(testenv::writeFile(path("one/cache/skipped.bin"), QByteArray(1000, 'x')));
        QVERIFY(testenv::writeFile(path("two/c.txt"), "1234567"));
        QVERIFY(testenv::writeFile(path("elsewhere/big.bin"), QByteArray(100, 'x')));
        QVERIFY(testenv::writeFile(path("plain.txt"), "a file given as a root"));
        // A link to a file counts with its target's size, a link to a folder is not followed,
        // and a link whose target is gone is a file that cannot be examined.
        fs::create_symlink(path("elsewhere/big.bin"), path("two/link.bin"));
        fs::create_directory_symlink(path("elsewhere"), path("two/linked-folder"));
        fs::create_symlink(path("gone.txt"), path("two/dangling.txt"));
        const testhelpers::LogRecorder log;
        const dirSizeInfo info = getDirectorySize(
            {fs::path(), path("missing"), path("one"), path("plain.txt"), path("two")}, {"cache"});
        QCOMPARE(info.totalBytes, uint64_t{3 + 5 + 7 + 100});
        QCOMPARE(info.fileCount, 4u);
        QCOMPARE(info.errorCount, 2u);
    }

    void getDirectorySize_unreadableFolder_endsThatRootWithOneError()
    {
        if (::geteuid() == 0)
            QSKIP("permissions do not stop root from reading a folder");
        QVERIFY(testenv::writeFile(path("root/locked/a.txt"), "abc"));
        QVERIFY(testenv::writeFile(path("other/b.txt"), "12345"));
        const testhelpers::PermissionRestorer restorer(path("root/locked"));
        QCOMPARE(::chmod(path("root/locked").c_str(), 0), 0);
        const testhelpers::LogRecorder log;
        const dirSizeInfo info = getDirectorySize({path("root"), path("other")}, {});
        QCOMPARE(info.totalBytes, uint64_t{5});
        QCOMPARE(info.errorCount, 1u);
    }

    void zipAddPath_roundTrip_data()
    {
        QTest::addColumn<bool>("compress");
        QTest::addColumn<int>("method");
        QTest::addColumn<int>("levelBits"); // general purpose flag bits 1-2: binary 10 is "fast"
        QTest::newRow("compressed") << true << int(ZIP_CM_DEFLATE) << 2;
        QTest::newRow("stored") << false << int(ZIP_CM_STORE) << 0;
    }

    void zipAddPath_roundTrip()
    {
        QFETCH(bool, compress);
        QFETCH(int, method);
        QFETCH(int, levelBits);
        const QByteArray content = wordText(20000);
        const fs::path source = path("B\u00fccher/\u0422\u043e\u043b\u0441\u0442\u043e\u0439.txt");
        QVERIFY(testenv::writeFile(source, content));
        QVERIFY(testenv::writeFile(path("second.txt"), "second"));
        fs::create_directory(path("folder"));
        const fs::path entry = fs::u8path("B\u00fccher/\u0410\u043d\u043d\u0430.txt");
        Archive archive = openArchive(path("backup.zip"), ZIP_CREATE | ZIP_TRUNCATE);
        QVERIFY(zipAddPath(archive.get(), source, entry, compress));
        QVERIFY(zipAddPath(archive.get(), path("folder"), "reader/system", compress));
        const testhelpers::LogRecorder log;
        QVERIFY(!zipAddPath(archive.get(), path("second.txt"), entry, compress)); // taken
        QVERIFY(!zipAddPath(archive.get(), fs::relative(source, fs::current_path()), "r", compress));
        QVERIFY(!zipAddPath(nullptr, source, "x", compress));
        QVERIFY(closeArchive(archive));

        archive = openArchive(path("backup.zip"));
        QCOMPARE(zip_get_num_entries(archive.get(), 0), zip_int64_t{2});
        QCOMPARE(QString::fromUtf8(zip_get_name(archive.get(), 1, 0)), QStringLiteral("reader/system/"));
        zip_stat_t stat;
        QCOMPARE(zip_stat_index(archive.get(), 0, 0, &stat), 0);
        QCOMPARE(int(stat.comp_method), method);
        QCOMPARE((zipinspect::centralDirectory(path("backup.zip")).value(0).flags >> 1) & 3,
                 levelBits);
        QCOMPARE(zipExtractIndex(archive.get(), 0, path("out"), true), 1);
        QCOMPARE(testenv::readFile(path("out") / entry), content);
    }

    void zipExtractIndex_writesWholeEntryOverOldFiles()
    {
        const QByteArray content = wordText(3 * 4096 + 17); // whole chunks and a partial one
        const Archive archive = openArchive(singleEntryArchive("system/books.cfg", content));
        QVERIFY(archive);
        const fs::path output = path("restore/system/books.cfg");
        QVERIFY(testenv::writeFile(output, "old output"));
        QVERIFY(testenv::writeFile(withTmp(output), "a stale temporary file"));
        QCOMPARE(zipExtractIndex(archive.get(), 0, path("restore"), true), 1);
        QCOMPARE(testenv::readFile(output), content);
        QVERIFY(!existsOrDangles(withTmp(output)));
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
        QTest::newRow("second half zeroed") << "zeros" << out << -1;
        QTest::newRow("index out of range") << "index" << out << -1;
        QTest::newRow("entry marked encrypted") << "encrypted" << out << -1;
        QTest::newRow("not a ZIP file") << "text" << out << -1;
        QTest::newRow("truncated archive") << "truncate" << out << -1;
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
        const auto u16 = [&bytes](int at) { return uchar(bytes[at]) | uchar(bytes[at + 1]) << 8; };
        const int central = bytes.indexOf("PK\x01\x02");
        const int dataStart = 30 + u16(26) + u16(28); // the only local header is at 0
        const int compressed = central - dataStart;
        if (damage == "garbage")
            bytes.replace(dataStart + compressed / 2, 64, QByteArray(64, '\xff'));
        if (damage == "zeros")
            bytes.replace(dataStart + compressed / 2, compressed / 2, QByteArray(compressed / 2, 0));
        if (damage == "encrypted") { // bit 0 of the flags in both headers
            bytes[6] = char(bytes[6] | 1);
            bytes[central + 8] = char(bytes[central + 8] | 1);
        }
        if (damage == "text")
            bytes = "just some text, no archive at all";
        if (damage == "truncate")
            bytes.truncate(bytes.size() / 2);
        QVERIFY(testenv::writeFile(archiveFile, bytes));
        QVERIFY(testenv::writeFile(path("blocker"), "a file"));
        const fs::path target = path(toPath(output));
        if (damage == "full") {
            if (!fs::exists("/dev/full"))
                QSKIP("no /dev/full on this system");
            fs::create_directories(target.parent_path());
            fs::create_symlink("/dev/full", withTmp(target)); // every write fails with ENOSPC
        }
        // Opened without ZIP_CHECKCONS, as callers do, so damage shows only while reading.
        const Archive archive = openArchive(archiveFile);
        const testhelpers::LogRecorder log;
        QCOMPARE(zipExtractIndex(archive.get(), damage == "index" ? 1 : 0, target, false), expected);
        QVERIFY(!log.warnings().isEmpty());
        QVERIFY(!existsOrDangles(target));
        QVERIFY(!existsOrDangles(withTmp(target)));
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
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(".")));
        QCOMPARE(zipExtractIndex(archive.get(), 0, path("restore"), true), -1);
        QVERIFY(!existsOrDangles(path("escape.txt")));
    }
};

QTEST_GUILESS_MAIN(tst_fileutils)
#include "tst_fileutils.moc"
