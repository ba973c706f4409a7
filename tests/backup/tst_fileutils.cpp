#include "backup/fileutils.h"
#include "backup/selectdirectory.h"
#include "core/textconv.h"
#include "support/fakeprompts.h"
#include "support/testenv.h"
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

// Records every message while alive, in place of the test framework's handler.
class LogCapture
{
public:
    LogCapture()
        : m_previous(qInstallMessageHandler(&LogCapture::handle))
    {
        s_active = this;
    }
    ~LogCapture() { qInstallMessageHandler(m_previous); }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    int count(QtMsgType type, const QString &start = QString()) const
    {
        int found = 0;
        for (const auto &message : m_messages)
            found += message.first == type && message.second.startsWith(start) ? 1 : 0;
        return found;
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext &, const QString &text)
    {
        s_active->m_messages.append({type, text});
    }

    inline static LogCapture *s_active = nullptr;
    QtMessageHandler m_previous;
    QList<QPair<QtMsgType, QString>> m_messages;
};

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

private slots:
    void initTestCase();
    void init();

    void copyFileSafe_outcomes_data();
    void copyFileSafe_outcomes();
    void copyFileSafe_relativeSource_refused();
    void exportPathWithExtension_formats_data();
    void exportPathWithExtension_formats();
    void getWalFile_companion_data();
    void getWalFile_companion();
    void getFileSizeWriteTime_statValuesOrMinusOnes();
    void humanReadableSize_texts_data();
    void humanReadableSize_texts();

    void getDirectorySize_mixedRoots_countsFilesAndErrors();
    void getDirectorySize_skipNames_matchOnlyDirectlyInsideRoot();
    void getDirectorySize_unreadableFolder_endsThatRootWithOneError();

    void zipAddPath_entries_roundTrip_data();
    void zipAddPath_entries_roundTrip();
    void zipAddPath_sameEntryTwice_secondFails();
    void zipAddPath_relativeSource_refused();

    void zipExtractIndex_missingParent_createdAndEntryWritten();
    void zipExtractIndex_appendEntryName_replacesStaleTemporaryAndOldFile();
    void zipExtractIndex_nonAsciiNames_roundTrip();
    void zipExtractIndex_damagedEntryData_leavesNoFile_data();
    void zipExtractIndex_damagedEntryData_leavesNoFile();
    void zipExtractIndex_unopenableEntry_returnsMinusOne_data();
    void zipExtractIndex_unopenableEntry_returnsMinusOne();
    void zipExtractIndex_blockedOutput_data();
    void zipExtractIndex_blockedOutput();
    void zipExtractIndex_writeFails_removesTemporary();
    void zipExtractIndex_entryNameLeavingOutput_refused_data();
    void zipExtractIndex_entryNameLeavingOutput_refused();

    void selectDirectory_asksForExistingDirectory();

private:
    fs::path path(const char *relative) const { return m_root / fs::u8path(relative); }
    fs::path singleEntryArchive(const QByteArray &name, const QByteArray &data);

    std::unique_ptr<QTemporaryDir> m_dir;
    fs::path m_root;
};

void tst_fileutils::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void tst_fileutils::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_root = toPath(m_dir->path());
}

// A one-entry, deflated archive built from memory; an empty path when libzip refuses.
fs::path tst_fileutils::singleEntryArchive(const QByteArray &name, const QByteArray &data)
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

void tst_fileutils::copyFileSafe_outcomes_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("destination");
    QTest::addColumn<fs::copy_options>("options");
    QTest::addColumn<bool>("expected");
    QTest::addColumn<QString>("warning");
    QTest::addColumn<QByteArray>("destinationAfter"); // null: must not exist

    const auto none = fs::copy_options::none;
    const QByteArray copied("new");
    QTest::newRow("new destination") << "new.txt"
                                     << "copy.txt" << none << true << "" << copied;
    QTest::newRow("onto the same path")
        << "new.txt"
        << "new.txt" << none << false << "Cannot copy file to itself" << copied;
    QTest::newRow("missing source")
        << "missing.txt"
        << "copy.txt" << none << false << "Source doesn't exist" << QByteArray();
    QTest::newRow("existing destination")
        << "new.txt"
        << "old.txt" << none << false << "Error copying file." << QByteArray("old");
    QTest::newRow("skip existing")
        << "new.txt"
        << "old.txt" << fs::copy_options::skip_existing << false << "" << QByteArray("old");
    QTest::newRow("overwrite existing")
        << "new.txt"
        << "old.txt" << fs::copy_options::overwrite_existing << true << "" << copied;
    QTest::newRow("destination folder missing")
        << "new.txt"
        << "nowhere/copy.txt" << none << false << "Error copying file." << QByteArray();
}

void tst_fileutils::copyFileSafe_outcomes()
{
    QFETCH(QString, source);
    QFETCH(QString, destination);
    QFETCH(fs::copy_options, options);
    QFETCH(bool, expected);
    QFETCH(QString, warning);
    QFETCH(QByteArray, destinationAfter);
    QVERIFY(testenv::writeFile(path("new.txt"), "new"));
    QVERIFY(testenv::writeFile(path("old.txt"), "old"));
    const fs::path to = m_root / toPath(destination);

    LogCapture log;
    QCOMPARE(copyFileSafe(m_root / toPath(source), to, options), expected);
    QCOMPARE(log.count(QtWarningMsg), warning.isEmpty() ? 0 : 1);
    QCOMPARE(log.count(QtWarningMsg, warning), warning.isEmpty() ? 0 : 1);
    QCOMPARE(log.count(QtDebugMsg, "Attempting copy of:"), 1);
    QCOMPARE(log.count(QtDebugMsg, "Succesfully copied:"), expected ? 1 : 0);
    if (destinationAfter.isNull())
        QVERIFY(!fs::exists(to));
    else
        QCOMPARE(testenv::readFile(to), destinationAfter);
}

void tst_fileutils::copyFileSafe_relativeSource_refused()
{
    QVERIFY(testenv::writeFile(path("source.txt"), "content"));
    const fs::path relative = fs::relative(path("source.txt"), fs::current_path());
    QVERIFY(relative.is_relative() && fs::exists(relative));

    LogCapture log;
    QVERIFY(!copyFileSafe(relative, path("copy.txt"), fs::copy_options::none));
    QCOMPARE(
        log.count(QtWarningMsg, "Skipping, as filepath contains a relative reference (i.e. '..')"),
        1);
    QVERIFY(!fs::exists(path("copy.txt")));
}

void tst_fileutils::exportPathWithExtension_formats_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<int>("format");
    QTest::addColumn<QString>("expected");
    QTest::newRow("plain text") << "/out.d/notes.html" << 0 << "/out.d/notes.txt";
    QTest::newRow("html") << "/out/notes" << 1 << "/out/notes.html";
    QTest::newRow("csv, last extension only") << "/out/my.notes.txt" << 2 << "/out/my.notes.csv";
    QTest::newRow("unknown format") << "/out/notes.txt" << 3 << "/out/notes.txt";
}

void tst_fileutils::exportPathWithExtension_formats()
{
    QFETCH(QString, input);
    QFETCH(int, format);
    QFETCH(QString, expected);
    QCOMPARE(toQString(exportPathWithExtension(toPath(input), format)), expected);
}

void tst_fileutils::getWalFile_companion_data()
{
    QTest::addColumn<QByteArray>("walContent"); // null: no companion file
    QTest::addColumn<bool>("always");
    QTest::addColumn<bool>("expectWal");
    QTest::newRow("absent") << QByteArray() << false << false;
    QTest::newRow("absent, always") << QByteArray() << true << true;
    QTest::newRow("empty") << QByteArray("") << false << false;
    QTest::newRow("empty, always") << QByteArray("") << true << true;
    QTest::newRow("non-empty") << QByteArray("log") << false << true;
}

void tst_fileutils::getWalFile_companion()
{
    QFETCH(QByteArray, walContent);
    QFETCH(bool, always);
    QFETCH(bool, expectWal);
    QVERIFY(testenv::writeFile(path("explorer-3.db"), "database"));
    if (!walContent.isNull())
        QVERIFY(testenv::writeFile(path("explorer-3.db-wal"), walContent));

    LogCapture log;
    const QString wal = toQString(getWalFile(path("explorer-3.db"), always));
    QCOMPARE(wal, expectWal ? toQString(path("explorer-3.db-wal")) : QString());
    QCOMPARE(log.count(QtDebugMsg, "Found non-empty Write Ahead Logfile"),
             !always && !walContent.isEmpty() ? 1 : 0);
}

void tst_fileutils::getFileSizeWriteTime_statValuesOrMinusOnes()
{
    QVERIFY(testenv::writeFile(path("book.pdf"), "12345"));
    const utimbuf times{1600000000, 1500000000};
    QCOMPARE(::utime(path("book.pdf").c_str(), &times), 0);
    const FileSizeWriteTime book = getFileSizeWriteTime(path("book.pdf"));
    QCOMPARE(book.writeTime, 1500000000);
    QCOMPARE(book.size, int64_t{5});

    LogCapture log;
    const FileSizeWriteTime missing = getFileSizeWriteTime(path("missing.pdf"));
    QCOMPARE(missing.writeTime, -1);
    QCOMPARE(missing.size, int64_t{-1});
    QCOMPARE(
        log.count(QtWarningMsg, "getFileSizeWriteTime failed to return filesize/filedate for:"), 1);
}

void tst_fileutils::humanReadableSize_texts_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("expected");
    const qint64 gib = qint64(1) << 30;
    QTest::newRow("zero") << qint64(0) << "0 B";
    QTest::newRow("largest in bytes") << qint64(1023) << "1023 B";
    QTest::newRow("negative bytes") << qint64(-1023) << "-1023 B";
    QTest::newRow("one KiB") << qint64(1024) << "1.000KB";
    QTest::newRow("1536") << qint64(1536) << "1.500KB";
    QTest::newRow("a million") << qint64(1000000) << "976.5KB";
    QTest::newRow("just below a MiB") << qint64(1048575) << "1023.KB";
    QTest::newRow("just below a GiB") << gib - 1 << "1023.MB";
    QTest::newRow("five GiB") << 5 * gib << "5.000GB";
    QTest::newRow("one TiB") << (qint64(1) << 40) << "1.000TB";
    QTest::newRow("one PiB") << (qint64(1) << 50) << "1.000PB";
    QTest::newRow("one EiB") << (qint64(1) << 60) << "1.000EB";
    QTest::newRow("largest") << std::numeric_limits<qint64>::max() << "7.999EB";
    QTest::newRow("negative KiB") << qint64(-2048) << "-2.00KB";
    QTest::newRow("smallest") << std::numeric_limits<qint64>::min() << "-8.00EB";
}

void tst_fileutils::humanReadableSize_texts()
{
    QFETCH(qint64, bytes);
    QFETCH(QString, expected);
    QCOMPARE(QString::fromStdString(humanReadableSize(bytes)), expected);
}

void tst_fileutils::getDirectorySize_mixedRoots_countsFilesAndErrors()
{
    QVERIFY(testenv::writeFile(path("one/a.txt"), "abc"));
    QVERIFY(testenv::writeFile(path("one/sub/deeper/b.txt"), "12345"));
    QVERIFY(testenv::writeFile(path("two/c.txt"), "1234567"));
    QVERIFY(testenv::writeFile(path("elsewhere/big.bin"), QByteArray(100, 'x')));
    QVERIFY(testenv::writeFile(path("plain.txt"), "a file given as a root"));
    // A link to a file counts with its target's size, a link to a folder is not followed,
    // and a link whose target is gone is a file that cannot be examined.
    fs::create_symlink(path("elsewhere/big.bin"), path("two/link.bin"));
    fs::create_directory_symlink(path("elsewhere"), path("two/linked-folder"));
    fs::create_symlink(path("gone.txt"), path("two/dangling.txt"));

    LogCapture log;
    const dirSizeInfo info = getDirectorySize(
        {fs::path(), path("missing"), path("one"), path("plain.txt"), path("two")}, {});
    QCOMPARE(info.totalBytes, uint64_t{3 + 5 + 7 + 100});
    QCOMPARE(info.fileCount, 4u);
    QCOMPARE(info.errorCount, 2u);
    QCOMPARE(log.count(QtDebugMsg, "Skipping non-existent / empty dir."), 2);
    QCOMPARE(log.count(QtWarningMsg, "Directory iterator exception."), 1);
    QCOMPARE(log.count(QtWarningMsg, "getFileSizeWriteTime failed"), 1);
}

void tst_fileutils::getDirectorySize_skipNames_matchOnlyDirectlyInsideRoot()
{
    QVERIFY(testenv::writeFile(path("root/cache/skipped.bin"), QByteArray(1000, 'x')));
    QVERIFY(testenv::writeFile(path("root/sub/cache/counted.bin"), "12"));
    QVERIFY(testenv::writeFile(path("root/logs"), "123")); // a file, not a folder

    LogCapture log;
    const dirSizeInfo info = getDirectorySize({path("root")}, {"cache", "logs"});
    QCOMPARE(info.totalBytes, uint64_t{2 + 3});
    QCOMPARE(info.fileCount, 2u);
    QCOMPARE(info.errorCount, 0u);
    QCOMPARE(log.count(QtDebugMsg, "Ignoring directory:"), 1);
}

void tst_fileutils::getDirectorySize_unreadableFolder_endsThatRootWithOneError()
{
    if (::geteuid() == 0)
        QSKIP("permissions do not stop root from reading a folder");
    QVERIFY(testenv::writeFile(path("root/locked/a.txt"), "abc"));
    QVERIFY(testenv::writeFile(path("other/b.txt"), "12345"));
    QCOMPARE(::chmod(path("root/locked").c_str(), 0), 0);

    LogCapture log;
    const dirSizeInfo info = getDirectorySize({path("root"), path("other")}, {});
    ::chmod(path("root/locked").c_str(), 0700);
    QCOMPARE(info.totalBytes, uint64_t{5});
    QCOMPARE(info.errorCount, 1u);
    QCOMPARE(log.count(QtWarningMsg, "Directory iterator exception."), 1);
}

void tst_fileutils::zipAddPath_entries_roundTrip_data()
{
    QTest::addColumn<bool>("compress");
    QTest::addColumn<int>("method");
    QTest::addColumn<int>("levelBits"); // general purpose flag bits 1-2: 2 (binary 10) is "fast"
    QTest::newRow("compressed") << true << int(ZIP_CM_DEFLATE) << 2;
    QTest::newRow("stored") << false << int(ZIP_CM_STORE) << 0;
}

void tst_fileutils::zipAddPath_entries_roundTrip()
{
    QFETCH(bool, compress);
    QFETCH(int, method);
    QFETCH(int, levelBits);
    const QByteArray content = wordText(20000);
    QVERIFY(testenv::writeFile(path("notes.txt"), content));
    fs::create_directory(path("folder"));
    Archive archive = openArchive(path("backup.zip"), ZIP_CREATE | ZIP_TRUNCATE);
    QVERIFY(zipAddPath(archive.get(), path("notes.txt"), "reader/notes.txt", compress));
    QVERIFY(zipAddPath(archive.get(), path("folder"), "reader/system", compress));
    QVERIFY(closeArchive(archive));

    archive = openArchive(path("backup.zip"));
    QVERIFY(archive);
    QCOMPARE(QString(zip_get_name(archive.get(), 1, 0)), QString("reader/system/"));
    zip_stat_t stat;
    QCOMPARE(zip_stat_index(archive.get(), 0, 0, &stat), 0);
    QCOMPARE(QString(stat.name), QString("reader/notes.txt"));
    QCOMPARE(int(stat.comp_method), method);
    QCOMPARE((zipinspect::centralDirectory(path("backup.zip")).value(0).flags >> 1) & 3, levelBits);
    QCOMPARE(zipExtractIndex(archive.get(), 0, path("out.txt"), false), 1);
    QCOMPARE(testenv::readFile(path("out.txt")), content);
}

void tst_fileutils::zipAddPath_sameEntryTwice_secondFails()
{
    QVERIFY(testenv::writeFile(path("first.txt"), "first"));
    QVERIFY(testenv::writeFile(path("second.txt"), "second"));
    Archive archive = openArchive(path("backup.zip"), ZIP_CREATE | ZIP_TRUNCATE);

    LogCapture log;
    QVERIFY(zipAddPath(archive.get(), path("first.txt"), "entry.txt", true));
    QVERIFY(!zipAddPath(archive.get(), path("second.txt"), "entry.txt", true));
    QCOMPARE(log.count(QtWarningMsg, "Failed adding file/dir:"), 1);
    QVERIFY(closeArchive(archive));

    archive = openArchive(path("backup.zip"));
    QCOMPARE(zip_get_num_entries(archive.get(), 0), zip_int64_t{1});
    QCOMPARE(zipExtractIndex(archive.get(), 0, path("out.txt"), false), 1);
    QCOMPARE(testenv::readFile(path("out.txt")), QByteArray("first"));
}

void tst_fileutils::zipAddPath_relativeSource_refused()
{
    QVERIFY(testenv::writeFile(path("notes.txt"), "notes"));
    QVERIFY(!zipAddPath(nullptr, path("notes.txt"), "notes.txt", true));
    Archive archive = openArchive(path("backup.zip"), ZIP_CREATE | ZIP_TRUNCATE);

    LogCapture log;
    const fs::path relative = fs::relative(path("notes.txt"), fs::current_path());
    QVERIFY(!zipAddPath(archive.get(), relative, "notes.txt", true));
    QCOMPARE(
        log.count(QtWarningMsg, "Skipping as filepath contains a relative reference (i.e. '../')."),
        1);
    QCOMPARE(zip_get_num_entries(archive.get(), 0), zip_int64_t{0});
}

void tst_fileutils::zipExtractIndex_missingParent_createdAndEntryWritten()
{
    const QByteArray content = wordText(3 * 4096 + 17); // whole chunks and a partial one
    const Archive archive = openArchive(singleEntryArchive("notes.txt", content));
    QVERIFY(archive);
    const fs::path output = path("new/deeper/notes.txt");

    LogCapture log;
    QCOMPARE(zipExtractIndex(archive.get(), 0, output, false), 1);
    QCOMPARE(testenv::readFile(output), content);
    QVERIFY(!existsOrDangles(withTmp(output)));
    QCOMPARE(log.count(QtWarningMsg), 0);
}

void tst_fileutils::zipExtractIndex_appendEntryName_replacesStaleTemporaryAndOldFile()
{
    const Archive archive = openArchive(singleEntryArchive("system/config/books.cfg", "fresh"));
    QVERIFY(archive);
    const fs::path output = path("restore/system/config/books.cfg");
    QVERIFY(testenv::writeFile(output, "old output"));
    QVERIFY(testenv::writeFile(withTmp(output), "stale and much longer than the entry"));

    LogCapture log;
    QCOMPARE(zipExtractIndex(archive.get(), 0, path("restore"), true), 1);
    QCOMPARE(testenv::readFile(output), QByteArray("fresh"));
    QVERIFY(!existsOrDangles(withTmp(output)));
    QCOMPARE(log.count(QtDebugMsg, "Attaching zip filepath to directory"), 1);
}

void tst_fileutils::zipExtractIndex_nonAsciiNames_roundTrip()
{
    const QByteArray content = "Все счастливые семьи похожи друг на друга.";
    const fs::path source = path("Bücher/Толстой – Анна Каренина.txt");
    QVERIFY(testenv::writeFile(source, content));
    const fs::path entry = fs::u8path("Bücher/Анна Каренина.txt");
    Archive archive = openArchive(path("backup.zip"), ZIP_CREATE | ZIP_TRUNCATE);
    QVERIFY(zipAddPath(archive.get(), source, entry, true));
    QVERIFY(closeArchive(archive));

    archive = openArchive(path("backup.zip"));
    QCOMPARE(zip_name_locate(archive.get(), entry.c_str(), ZIP_FL_ENC_UTF_8), zip_int64_t{0});
    QCOMPARE(zipExtractIndex(archive.get(), 0, path("Ausgabe"), true), 1);
    QCOMPARE(testenv::readFile(path("Ausgabe") / entry), content);
}

void tst_fileutils::zipExtractIndex_damagedEntryData_leavesNoFile_data()
{
    QTest::addColumn<bool>("zeroTail");
    QTest::newRow("garbage in the middle") << false;
    QTest::newRow("second half zeroed") << true;
}

void tst_fileutils::zipExtractIndex_damagedEntryData_leavesNoFile()
{
    QFETCH(bool, zeroTail);
    const fs::path archiveFile = singleEntryArchive("big.txt", wordText(100000));
    QVERIFY(!archiveFile.empty());
    zip_stat_t stat;
    QCOMPARE(zip_stat_index(openArchive(archiveFile).get(), 0, 0, &stat), 0);
    const int compressedSize = int(stat.comp_size);
    // The only local header is at offset 0: 30 fixed bytes, then the name and extra field.
    QByteArray bytes = testenv::readFile(archiveFile);
    QVERIFY(bytes.startsWith("PK\x03\x04") && compressedSize > 1000);
    const auto u16 = [&bytes](int at) { return uchar(bytes[at]) | uchar(bytes[at + 1]) << 8; };
    const int middle = 30 + u16(26) + u16(28) + compressedSize / 2;
    const int length = zeroTail ? compressedSize / 2 : 64;
    bytes.replace(middle, length, QByteArray(length, zeroTail ? '\0' : '\xff'));
    QVERIFY(testenv::writeFile(archiveFile, bytes));
    // Opened without ZIP_CHECKCONS, as callers do, so the damage shows only while reading.
    const Archive archive = openArchive(archiveFile);
    QVERIFY(archive);
    const fs::path output = path("out/big.txt");

    LogCapture log;
    QCOMPARE(zipExtractIndex(archive.get(), 0, output, false), -1);
    QCOMPARE(log.count(QtWarningMsg, "Writing failed"), 1);
    QVERIFY(!existsOrDangles(output));
    QVERIFY(!existsOrDangles(withTmp(output)));
}

void tst_fileutils::zipExtractIndex_unopenableEntry_returnsMinusOne_data()
{
    QTest::addColumn<QString>("damage");
    QTest::newRow("index out of range") << "index";
    QTest::newRow("entry marked encrypted") << "encrypted";
    QTest::newRow("not a ZIP file") << "text";
    QTest::newRow("truncated archive") << "truncate";
}

void tst_fileutils::zipExtractIndex_unopenableEntry_returnsMinusOne()
{
    QFETCH(QString, damage);
    const fs::path archiveFile = singleEntryArchive("notes.txt", wordText(5000));
    QVERIFY(!archiveFile.empty());
    QByteArray bytes = testenv::readFile(archiveFile);
    if (damage == "encrypted") {
        // Bit 0 of the flags, at offset 6 of the local and 8 of the central header.
        const int central = bytes.indexOf("PK\x01\x02");
        bytes[6] = char(bytes[6] | 1);
        bytes[central + 8] = char(bytes[central + 8] | 1);
    }
    if (damage == "text")
        bytes = "just some text, no archive at all";
    if (damage == "truncate")
        bytes.truncate(bytes.size() / 2);
    QVERIFY(testenv::writeFile(archiveFile, bytes));
    // zip_open() refuses the last two: the entry is then asked of no archive at all.
    const Archive archive = openArchive(archiveFile);
    QCOMPARE(bool(archive), damage == "index" || damage == "encrypted");

    LogCapture log;
    QCOMPARE(zipExtractIndex(archive.get(), damage == "index" ? 1 : 0, path("out"), true), -1);
    QCOMPARE(log.count(QtWarningMsg, "Failed opening index from archive"), 1);
    QVERIFY(!existsOrDangles(path("out")));
}

void tst_fileutils::zipExtractIndex_blockedOutput_data()
{
    QTest::addColumn<QString>("output");
    QTest::addColumn<int>("expected");
    QTest::addColumn<QString>("warning");
    QTest::newRow("parent is a file")
        << "blocker/notes.txt" << -1 << "Failed opening (temporary) output file";
    QTest::newRow("missing parent below a file")
        << "blocker/sub/notes.txt" << -2 << "Failed creating export dir:";
}

void tst_fileutils::zipExtractIndex_blockedOutput()
{
    QFETCH(QString, output);
    QFETCH(int, expected);
    QFETCH(QString, warning);
    const Archive archive = openArchive(singleEntryArchive("notes.txt", "notes"));
    QVERIFY(archive);
    QVERIFY(testenv::writeFile(path("blocker"), "a file"));

    LogCapture log;
    QCOMPARE(zipExtractIndex(archive.get(), 0, m_root / toPath(output), false), expected);
    QCOMPARE(log.count(QtWarningMsg, warning), 1);
    QCOMPARE(testenv::readFile(path("blocker")), QByteArray("a file"));
}

void tst_fileutils::zipExtractIndex_writeFails_removesTemporary()
{
    if (!fs::exists("/dev/full"))
        QSKIP("no /dev/full on this system");
    const Archive archive = openArchive(singleEntryArchive("notes.txt", wordText(20000)));
    QVERIFY(archive);
    // /dev/full accepts the open and fails every write with ENOSPC.
    const fs::path output = path("notes.txt");
    fs::create_symlink("/dev/full", withTmp(output));

    LogCapture log;
    QCOMPARE(zipExtractIndex(archive.get(), 0, output, false), -1);
    QCOMPARE(log.count(QtWarningMsg, "Writing failed"), 1);
    QVERIFY(!existsOrDangles(output));
    QVERIFY(!existsOrDangles(withTmp(output)));
    QVERIFY(fs::exists("/dev/full"));
}

void tst_fileutils::zipExtractIndex_entryNameLeavingOutput_refused_data()
{
    QTest::addColumn<QString>("entryName"); // "@" stands for the test's own folder
    QTest::newRow("parent reference") << "sub/../../escape.txt";
    QTest::newRow("absolute") << "@/escape.txt";
}

void tst_fileutils::zipExtractIndex_entryNameLeavingOutput_refused()
{
    QFETCH(QString, entryName);
    entryName.replace('@', toQString(m_root));
    const Archive archive = openArchive(singleEntryArchive(entryName.toUtf8(), "payload"));
    QVERIFY(archive);
    fs::create_directories(path("restore/sub"));

    LogCapture log;
    QCOMPARE(zipExtractIndex(archive.get(), 0, path("restore"), true), -1);
    QCOMPARE(log.count(QtWarningMsg), 1);
    QVERIFY(!existsOrDangles(path("escape.txt")));
}

void tst_fileutils::selectDirectory_asksForExistingDirectory()
{
    FakePrompts fake;
    fake.setNextFileName("/media/reader");
    QCOMPARE(selectDirectory(nullptr), QString("/media/reader"));
    QVERIFY(selectDirectory(nullptr).isNull());
    QCOMPARE(fake.choosers.size(), 2);
}

QTEST_MAIN(tst_fileutils)
#include "tst_fileutils.moc"
