#include "database/annotationimport.h"

#include "core/textconv.h"
#include "database/jsonscan.h"
#include "readerfixture/readerfixture.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using fixture::AnnotationSpec;
using fixture::BooksDb;

namespace {

constexpr int int32Max = std::numeric_limits<int32_t>::max();
constexpr int int32Min = std::numeric_limits<int32_t>::min();
const QString connectionName = QStringLiteral("annotationsimporter");

// What glibc's sscanf makes of the anchor's UTF-8 bytes, counting only a full match: the
// reference for every anchor whose numbers fit in an int (beyond that scanf is undefined).
std::pair<int, int> sscanfAnchor(const QString &anchor)
{
    const QByteArray bytes = anchor.toUtf8();
    std::vector<char> word(size_t(bytes.size()) + 8);
    std::vector<char> rest(size_t(bytes.size()) + 8);
    int page = 0;
    int offset = 0;
    if (std::sscanf(bytes.constData(), "pbr:/%4s?page=%d&offs=%d#%s", word.data(), &page, &offset,
                    rest.data()) != 4)
        return {0, 0};
    return {page, offset};
}

// "created" as the import read it through QJsonDocument: whole numbers exactly, others cut
// toward zero, anything else 0.
qint64 qtCreated(const QJsonValue &created)
{
    if (!created.isDouble())
        return 0;
    const QVariant number = created.toVariant();
    if (number.userType() == QMetaType::LongLong)
        return number.toLongLong();
    const double seconds = std::trunc(created.toDouble());
    if (!std::isfinite(seconds) || seconds < -9223372036854775808.0 ||
        seconds >= 9223372036854775808.0)
        return 0;
    return static_cast<qint64>(seconds);
}

QByteArray fileBytes(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return QByteArray::fromStdString(
        std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
}

QStringList folderEntries(const fs::path &folder)
{
    QStringList names;
    for (const fs::directory_entry &entry : fs::directory_iterator(folder))
        names.append(toQString(entry.path().filename()));
    names.sort();
    return names;
}

fs::path withSuffix(fs::path path, const char *suffix)
{
    path += suffix;
    return path;
}

// Three annotations in a WAL database at `path`, the last two only in its "-wal" while the
// writer is open; with `withLog`, `copy` gets the database and its log as they stood then.
// Closing the writer checkpoints the log into `path` itself.
void writeWalDatabase(const fs::path &path, const fs::path &copy, bool withLog)
{
    BooksDb db(path);
    const int64_t book = db.addBook("A Book", "An Author");
    db.addAnnotation(book);
    db.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
    db.exec(QStringLiteral("PRAGMA wal_autocheckpoint=0"));
    db.addAnnotation(book);
    db.addAnnotation(book);
    fs::create_directories(copy.parent_path());
    if (withLog) {
        fs::copy_file(path, copy);
        fs::copy_file(withSuffix(path, "-wal"), withSuffix(copy, "-wal"));
    }
}

void expectExecError(const QString &driverText)
{
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Query exec ERROR: ") +
                                                          QRegularExpression::escape(driverText)));
}

// Records every warning while forwarding it to QtTest, so that ignoreMessage keeps working.
QStringList s_warnings;
QtMessageHandler s_previousHandler = nullptr;
void recordWarnings(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        s_warnings.append(text);
    s_previousHandler(type, context, text);
}

// Gives a folder its permissions back, so that QTemporaryDir can remove it.
class PermissionRestorer
{
public:
    explicit PermissionRestorer(fs::path folder)
        : m_folder(std::move(folder))
    {}
    ~PermissionRestorer() { ::chmod(m_folder.c_str(), 0755); }
    PermissionRestorer(const PermissionRestorer &) = delete;
    PermissionRestorer &operator=(const PermissionRestorer &) = delete;

private:
    fs::path m_folder;
};

enum class BadFile {
    Missing,
    Directory,
    NotSqlite,
    Empty,
    Truncated,
    DamagedPage,
    NoTagsTable,
    NoTimeAlt
};
enum class NoIndex { ShmUnusable, ReadOnlyFolder, ReadOnlyFolderNoWal };

} // namespace

Q_DECLARE_METATYPE(BadFile)
Q_DECLARE_METATYPE(NoIndex)

class tst_annotationimport : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void parsePbrAnchor_positions_data();
    void parsePbrAnchor_positions();
    void classifyAnnotationColor_codes_data();
    void classifyAnnotationColor_codes();
    void jsonMembers_asQJsonDocument_data();
    void jsonMembers_asQJsonDocument();

    void import_highlight_everyFieldAndLogLine();
    void import_kinds_bookmarkOnlyForExactLowerCase();
    void import_rowsWithoutOpeningTag101_ignored();
    void import_tags103And107AndOthers_ignored();
    void import_unicodeTexts_keptIntact();
    void import_stateNotZero_notImported();
    void import_records_orderedByOid();
    void import_malformedTagValues_giveZeroOrEmpty_data();
    void import_malformedTagValues_giveZeroOrEmpty();
    void import_nullColumns_readAsZeroOrLeftOut();
    void import_fiveMegabyteHighlight_readWhole();

    void import_unusableFile_falseAndEmpty_data();
    void import_unusableFile_falseAndEmpty();
    void import_exclusiveLockRollbackJournal_failsAfterBusyTimeout();
    void import_exclusiveLockWal_readsCommittedRows();

    void import_walWithWriterOpen_readsNewestAnnotations();
    void import_walCopyWithoutShm_readsLogAndChangesNothing();
    void import_walIndexCannotBeCreated_readsPrivateCopy_data();
    void import_walIndexCannotBeCreated_readsPrivateCopy();

private:
    fs::path newDbPath();
    QTemporaryDir m_tmp;
    int m_count = 0;
};

fs::path tst_annotationimport::newDbPath()
{
    // A folder per database: SQLite keeps "-wal" and "-shm" beside it.
    return toPath(m_tmp.path()) / ("profile" + std::to_string(++m_count)) / "books.db";
}

void tst_annotationimport::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(m_tmp.isValid());
    s_previousHandler = qInstallMessageHandler(&recordWarnings);
}

void tst_annotationimport::init()
{
    s_warnings.clear();
}

void tst_annotationimport::cleanup()
{
    // Every import removes its connection, and destroys its query and database handles first
    // (otherwise Qt warns "connection ... is still in use").
    QVERIFY(!QSqlDatabase::contains(connectionName));
    for (const QString &warning : qAsConst(s_warnings))
        QVERIFY2(!warning.contains(QLatin1String("connection")), qPrintable(warning));
}

void tst_annotationimport::parsePbrAnchor_positions_data()
{
    QTest::addColumn<QString>("anchor");
    QTest::addColumn<int>("storedPage"); // as parsed, 0-based
    QTest::addColumn<int>("storedOffset");
    QTest::addColumn<int>("page"); // of the record
    QTest::addColumn<int>("offset");
    QTest::addColumn<int>("positionKey");
    QTest::addColumn<bool>("scanfDefined"); // false: a number beyond int, undefined for scanf

    const QString cfi = QStringLiteral("##epubcfi(/6/16!/4/2/328/1:185)");
    auto row = [](const char *name, const QString &anchor, int storedPage, int storedOffset,
                  int page, int offset, int key, bool scanfDefined = true) {
        QTest::newRow(name) << anchor << storedPage << storedOffset << page << offset << key
                            << scanfDefined;
    };
    row("page 4 offset 17", QStringLiteral("pbr:/word?page=4&offs=17") + cfi, 4, 17, 5, 18, 40017);
    row("device anchor", QStringLiteral("pbr:/word?page=51&offs=351") + cfi, 51, 351, 52, 352,
        510351);
    row("pdf anchor", QStringLiteral("pbr:/word?page=12&offs=0##pdfloc(12,0.25,0.75)"), 12, 0, 13,
        1, 120000);
    row("not pbr", QStringLiteral("epubcfi(/6/16!/4/2/328/1:185)"), 0, 0, 1, 1, 0);
    row("empty", QString(), 0, 0, 1, 1, 0);
    row("upper-case scheme", QStringLiteral("PBR:/word?page=4&offs=17") + cfi, 0, 0, 1, 1, 0);
    // %4s reads "webk", then '?' meets 'i'.
    row("webkit", QStringLiteral("pbr:/webkit?") + cfi, 0, 0, 1, 1, 0);
    // %4s takes "ab?p" (a '?' is no blank), then '?' meets 'a'.
    row("short word", QStringLiteral("pbr:/ab?page=4&offs=17") + cfi, 0, 0, 1, 1, 0);
    row("five-letter word", QStringLiteral("pbr:/words?page=4&offs=17") + cfi, 0, 0, 1, 1, 0);
    // Four UTF-8 bytes in two characters: the pattern counts bytes, as scanf did.
    row("two 2-byte letters", QStringLiteral("pbr:/\u00f6\u00f6?page=4&offs=17") + cfi, 4, 17, 5,
        18, 40017);
    // A 3-byte letter after "ab" ends beyond the 4 bytes: '?' meets its last byte.
    row("letter across the 4 bytes", QStringLiteral("pbr:/ab\u20ac?page=4&offs=17") + cfi, 0, 0,
        1, 1, 0);
    row("4-byte character", QStringLiteral("pbr:/\U0001F600?page=4&offs=17") + cfi, 4, 17, 5, 18,
        40017);
    // toUtf8() writes '?' for an unpaired surrogate.
    row("unpaired surrogate as '?'",
        QStringLiteral("pbr:/word") + QChar(0xd800) + QStringLiteral("page=4&offs=17") + cfi, 4,
        17, 5, 18, 40017);
    row("page without offs", QStringLiteral("pbr:/word?page=4") + cfi, 0, 0, 1, 1, 0);
    row("offs without digits", QStringLiteral("pbr:/word?page=4&offs=") + cfi, 0, 0, 1, 1, 0);
    row("sign without digits", QStringLiteral("pbr:/word?page=-&offs=17") + cfi, 0, 0, 1, 1, 0);
    row("no #", QStringLiteral("pbr:/word?page=4&offs=17"), 0, 0, 1, 1, 0);
    row("nothing after #", QStringLiteral("pbr:/word?page=4&offs=17#"), 0, 0, 1, 1, 0);
    row("only blanks after #", QStringLiteral("pbr:/word?page=4&offs=17# \t"), 0, 0, 1, 1, 0);
    row("NUL ends the text", QStringLiteral("pbr:/word?page=4&offs=17#") + QChar(0) + cfi, 0, 0, 1,
        1, 0);
    row("blanks before word and numbers", QStringLiteral("pbr:/ \tword?page= 4&offs=\n17# x"), 4,
        17, 5, 18, 40017);
    row("blank before '?'", QStringLiteral("pbr:/wor ?page=4&offs=17") + cfi, 0, 0, 1, 1, 0);
    row("signs and leading zeros", QStringLiteral("pbr:/word?page=-3&offs=+007") + cfi, -3, 7, -2,
        8, -29993);
    row("digits end at a letter", QStringLiteral("pbr:/word?page=4x&offs=17") + cfi, 0, 0, 1, 1, 0);
    row("largest page and offset",
        QStringLiteral("pbr:/word?page=2147483647&offs=2147483647") + cfi, int32Max, int32Max,
        int32Max, int32Max, int32Max);
    row("smallest page", QStringLiteral("pbr:/word?page=-2147483648&offs=0") + cfi, int32Min, 0,
        int32Min + 1, 1, int32Min);
    row("key just fits", QStringLiteral("pbr:/word?page=214748&offs=3647") + cfi, 214748, 3647,
        214749, 3648, int32Max);
    row("key saturates", QStringLiteral("pbr:/word?page=2000000&offs=5") + cfi, 2000000, 5, 2000001,
        6, int32Max);
    row("page beyond int", QStringLiteral("pbr:/word?page=2147483648&offs=5") + cfi, 0, 0, 1, 1, 0,
        false);
    row("offset below int", QStringLiteral("pbr:/word?page=1&offs=-2147483649") + cfi, 0, 0, 1, 1,
        0, false);
    row("page of 30 digits",
        QStringLiteral("pbr:/word?page=999999999999999999999999999999&offs=5") + cfi, 0, 0, 1, 1, 0,
        false);
}

void tst_annotationimport::parsePbrAnchor_positions()
{
    QFETCH(QString, anchor);
    QFETCH(int, storedPage);
    QFETCH(int, storedOffset);
    QFETCH(int, page);
    QFETCH(int, offset);
    QFETCH(int, positionKey);
    QFETCH(bool, scanfDefined);

    const std::pair<int, int> expected{storedPage, storedOffset};
    QCOMPARE(parsePbrAnchor(anchor), expected);
    if (scanfDefined)
        QCOMPARE(sscanfAnchor(anchor), expected);
    AnnotationRecord record;
    setAnchorPosition(record, anchor);
    QCOMPARE(record.page, page);
    QCOMPARE(record.offset, offset);
    QCOMPARE(record.positionKey, positionKey);
}

void tst_annotationimport::classifyAnnotationColor_codes_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("code");

    const QList<QPair<QString, int>> rows = {
        {QString(), color_none},
        {QStringLiteral("yellow"), color_yellow},
        {QStringLiteral("y"), color_yellow},
        {QStringLiteral("blue"), color_blue},
        {QStringLiteral("cyan"), color_cyan},
        {QStringLiteral("cian"), color_cyan}, // the device's spelling
        {QStringLiteral("green"), color_green},
        {QStringLiteral("gxxxn"), color_green}, // only characters 0 and 4 count
        {QStringLiteral("gray"), color_gray},
        {QStringLiteral("grey"), color_gray},
        {QStringLiteral("gold"), color_magenta},
        {QStringLiteral("g"), color_magenta},
        {QStringLiteral("gr"), color_magenta},
        {QStringLiteral("gre"), color_magenta},
        {QStringLiteral("gree"), color_magenta},
        {QStringLiteral("magenta"), color_magenta},
        {QStringLiteral("red"), color_red},
        {QStringLiteral("orange"), color_orange},
        {QStringLiteral("pink"), color_pink},
        {QStringLiteral("pi"), color_pink},
        {QStringLiteral("purple"), color_purple},
        {QStringLiteral("pxxp"), color_purple},
        {QStringLiteral("pink-purple"), color_pink}, // the "i" rule comes first
        {QStringLiteral("p"), color_none},
        {QStringLiteral("pu"), color_none},
        {QStringLiteral("pur"), color_none},
        {QStringLiteral("peach"), color_none},
        {QStringLiteral("white"), color_other},
        {QStringLiteral("amber"), color_other},
        {QStringLiteral("Yellow"), color_other},
        {QStringLiteral("GREEN"), color_other},
        {QStringLiteral(" yellow"), color_other},
        {QStringLiteral("\u00e9cru"), color_other},         // below 256
        {QStringLiteral("\u00ffx"), color_other},           // 255
        {QStringLiteral("\u0100x"), color_none},            // 256
        {QStringLiteral("\u0436\u0451\u043b"), color_none}, // Cyrillic
        {QStringLiteral("\U0001F49B"), color_none},         // a surrogate pair
    };
    for (const auto &[name, code] : rows)
        QTest::newRow(name.isEmpty() ? "empty" : qPrintable(name)) << name << code;
}

void tst_annotationimport::classifyAnnotationColor_codes()
{
    QFETCH(QString, name);
    QFETCH(int, code);
    QCOMPARE(classifyAnnotationColor(name), code);
}

void tst_annotationimport::jsonMembers_asQJsonDocument_data()
{
    QTest::addColumn<QString>("json");
    QTest::addColumn<QString>("text"); // null: no string member "text"
    QTest::addColumn<qint64>("created");

    const QString none;
    const QChar bom(0xfeff);
    const QChar high(0xd83d); // alone, or paired with the next
    const QChar low(0xde00);
    auto row = [](const char *name, const QString &json, const QString &text, qint64 created) {
        QTest::newRow(name) << json << text << created;
    };
    auto utf8 = [](const char *text) { return QString::fromUtf8(text); };

    // Members: the last of equal names counts, escapes in names included; other values,
    // however nested, are skipped whole.
    row("duplicate name, last kept", utf8(R"({"text":"a","created":1,"text":"b","created":2})"),
        QStringLiteral("b"), 2);
    row("duplicate name, last no string", utf8(R"({"text":"a","text":1})"), none, 0);
    row("escaped name", utf8(R"({"t\u0065xt":"a","cr\u0065ated":3})"), QStringLiteral("a"), 3);
    row("nested values skipped",
        utf8(R"({"a":{"text":"in","b":[1,{"created":9},[]]},"c":[],"d":{},"text":"out"})"),
        QStringLiteral("out"), 0);
    row("only nested members", utf8(R"({"a":{"text":"in","created":9}})"), none, 0);
    row("literals", utf8(R"({"a":true,"b":false,"c":null,"text":"x"})"), QStringLiteral("x"), 0);
    row("empty name", utf8(R"({"":1,"text":"x"})"), QStringLiteral("x"), 0);
    row("array at the top", utf8(R"([{"text":"x","created":1}])"), none, 0);
    row("blanks everywhere", utf8(" \t\r\n{ \"text\" :\n\"x\" ,\t\"created\"\r: 5 ,\"a\" : [ 1 , { } ] } \n"),
        QStringLiteral("x"), 5);
    row("vertical tab is no blank", utf8("{\"text\":\"x\",\v\"created\":1}"), none, 0);
    row("byte-order mark first", bom + utf8(R"({"text":"x"})"), QStringLiteral("x"), 0);
    row("byte-order mark after a blank", QLatin1Char(' ') + bom + utf8(R"({"text":"x"})"), none, 0);
    row("byte-order mark before a name", utf8(R"({")") + bom + utf8(R"(text":"x"})"), none, 0);
    // QJsonDocument hands out a string without escapes through QString::fromUtf8().
    row("byte-order mark opening a string", utf8(R"({"text":")") + bom + bom + utf8(R"(x"})"),
        QString(bom) + QLatin1Char('x'), 0);
    row("byte-order mark escaped", utf8(R"({"text":"\ufeffx"})"), QString(bom) + QLatin1Char('x'),
        0);

    // Whole-text validity: anything wrong anywhere gives no members at all.
    row("trailing garbage", utf8(R"({"text":"x"}x)"), none, 0);
    row("two objects", utf8(R"({"text":"x"}{})"), none, 0);
    row("trailing NUL", utf8(R"({"text":"x"})") + QChar(0), none, 0);
    row("comma before }", utf8(R"({"text":"x",})"), none, 0);
    row("comma before ]", utf8(R"({"text":"x","a":[1,]})"), none, 0);
    row("missing comma", utf8(R"({"text":"x" "a":1})"), none, 0);
    row("unterminated string", utf8(R"({"a":"x,"text":"x"})"), none, 0);
    row("misspelt literal", utf8(R"({"text":"x","a":tru})"), none, 0);
    row("capital literal", utf8(R"({"text":"x","a":True})"), none, 0);
    const QString deepest = QStringLiteral("[").repeated(1023) + QStringLiteral("]").repeated(1023);
    row("1024 levels", utf8(R"({"text":"x","a":)") + deepest + QLatin1Char('}'),
        QStringLiteral("x"), 0);
    row("1025 levels", utf8(R"({"text":"x","a":[)") + deepest + QStringLiteral("]}"), none, 0);

    // Escapes: unknown ones stand for their character; a \u escape keeps a lone surrogate; a
    // raw unpaired surrogate is '?' as in toUtf8().
    row("all escapes", utf8(R"({"text":"\"\\\/\b\f\n\r\t\u00e9\u20AC"})"),
        utf8("\"\\/\b\f\n\r\t\u00e9\u20ac"), 0);
    row("unknown escapes", utf8(R"({"text":"\a\'\x41"})"), QStringLiteral("a'x41"), 0);
    row("escaped non-ASCII", utf8(R"({"text":"\)") + QChar(0xe9) + utf8(R"("})"), none, 0);
    row("escaped surrogate pair", utf8(R"({"text":"\)") + high + low + utf8(R"("})"), none, 0);
    row("escaped lone surrogate", utf8(R"({"text":"\)") + high + utf8(R"(x"})"),
        QStringLiteral("?x"), 0);
    row("surrogate escapes", utf8(R"({"text":"\ud83d\ude00\ude00\ud83d"})"),
        QString(high) + low + low + high, 0);
    row("raw unpaired surrogates", utf8(R"({"text":")") + low + high + high + low +
                                       utf8(R"("})"),
        QStringLiteral("??") + high + low, 0);
    row("short \\u escape", utf8(R"({"text":"\u12"})"), none, 0);
    row("\\u escape not hex", utf8(R"({"text":"\u12g4"})"), none, 0);
    row("control characters and NUL in a string",
        utf8("{\"text\":\"a\x01\tb") + QChar(0) + utf8("\"}"),
        utf8("a\x01\tb") + QChar(0), 0);

    // Numbers as Qt reads them: whole ones as 64-bit integers first, then as doubles, where
    // beyond double or underflowing to 0 is an error.
    row("leading zero", utf8(R"({"text":"x","a":01})"), none, 0);
    row("plus sign", utf8(R"({"text":"x","a":+1})"), none, 0);
    row("point without digits after", utf8(R"({"text":"x","created":12.})"), QStringLiteral("x"),
        12);
    row("point without digits before", utf8(R"({"text":"x","created":-.5})"),
        QStringLiteral("x"), 0);
    row("lone point", utf8(R"({"text":"x","a":.})"), none, 0);
    row("exponent without digits", utf8(R"({"text":"x","a":1e+})"), none, 0);
    row("minus zero", utf8(R"({"created":-0})"), none, 0);
    row("exponent gives a whole number", utf8(R"({"created":15e8})"), none, 1500000000);
    row("lowest 64-bit", utf8(R"({"created":-9223372036854775808})"), none,
        std::numeric_limits<qint64>::min());
    row("below 64 bits rounds to the lowest", utf8(R"({"created":-9223372036854775809})"), none,
        std::numeric_limits<qint64>::min());
    row("2^63", utf8(R"({"created":9223372036854775808})"), none, 0);
    row("beyond double", utf8(R"({"text":"x","a":1e400})"), none, 0);
    row("308 digits", QStringLiteral("{\"text\":\"x\",\"a\":") +
                          QStringLiteral("9").repeated(308) + QLatin1Char('}'),
        QStringLiteral("x"), 0);
    row("309 digits", QStringLiteral("{\"text\":\"x\",\"a\":") +
                          QStringLiteral("9").repeated(309) + QLatin1Char('}'),
        none, 0);
    row("underflow to 0", utf8(R"({"text":"x","a":1e-400})"), none, 0);
    row("zero with huge exponent", utf8(R"({"text":"x","a":0e-400})"), QStringLiteral("x"), 0);
    row("denormal", utf8(R"({"text":"x","created":4e-324})"), QStringLiteral("x"), 0);
}

void tst_annotationimport::jsonMembers_asQJsonDocument()
{
    QFETCH(QString, json);
    QFETCH(QString, text);
    QFETCH(qint64, created);

    const JsonMembers members(json, {"created", "text"});
    QString storage;
    QCOMPARE(members.string(1), text);
    QCOMPARE(members.string(1).isNull(), text.isNull());
    QCOMPARE(members.stringView(1, storage).toString(), text);
    QCOMPARE(members.truncatedInteger(0), created);

    // The reference: what the import read through QJsonDocument.
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(json.toUtf8(), &error);
    QCOMPARE(members.isObject(), error.error == QJsonParseError::NoError && document.isObject());
    const QJsonObject object = document.object();
    QCOMPARE(object.value(QLatin1String("text")).toString(), text);
    QCOMPARE(object.value(QLatin1String("text")).toString().isNull(), text.isNull());
    QCOMPARE(qtCreated(object.value(QLatin1String("created"))), created);
}

void tst_annotationimport::import_highlight_everyFieldAndLogLine()
{
    const fs::path path = newDbPath();
    BooksDb db(path);
    const int64_t book = db.addBook("A Book", "An Author");
    AnnotationSpec annotation;
    annotation.page = 4;
    annotation.offset = 17;
    annotation.created = 1535639951;
    annotation.timeAlt = 1600000000;
    annotation.text = "Highlighted words";
    const int64_t oid = db.addAnnotation(book, annotation);

    QTest::ignoreMessage(QtDebugMsg, qPrintable(QStringLiteral("Using DB: ") + toQString(path)));
    QTest::ignoreMessage(QtDebugMsg, "Start annotations processing.");
    QTest::ignoreMessage(QtDebugMsg, "Finished annotations processing.");
    QTest::ignoreMessage(QtDebugMsg, "Annotations count: 1");
    std::vector<AnnotationRecord> records(3);
    QVERIFY(importAnnotations(records, path));
    QCOMPARE(records.size(), size_t(1));
    QVERIFY(records.capacity() >= 1000);
    const AnnotationRecord &r = records.front();
    QCOMPARE(r.parentId, int(book));
    QCOMPARE(r.oid, int(oid));
    QCOMPARE(r.created, int64_t(1535639951));
    QCOMPARE(r.timeAlt, int64_t(1600000000));
    QCOMPARE(r.isBookmark, false);
    QCOMPARE(r.kind, QStringLiteral("highlight"));
    QCOMPARE(r.page, 5);
    QCOMPARE(r.offset, 18);
    QCOMPARE(r.positionKey, 40017);
    QCOMPARE(r.highlightText, QStringLiteral("Highlighted words"));
    QCOMPARE(r.color, int(color_yellow));
    QCOMPARE(r.noteText, QString()); // tag 105 holds "{}"
    QVERIFY(s_warnings.isEmpty());
}

void tst_annotationimport::import_kinds_bookmarkOnlyForExactLowerCase()
{
    const fs::path path = newDbPath();
    BooksDb db(path);
    const int64_t book = db.addBook("A Book", "An Author");
    const QStringList kinds = {QStringLiteral("highlight"), QStringLiteral("note"),
                               QStringLiteral("bookmark"),  QStringLiteral("Bookmark"),
                               QStringLiteral("bookmark "), QStringLiteral("draws")};
    for (const QString &kind : kinds)
        db.addAnnotation(book, {kind.toStdString(), 1, 2, 1535639951, "Bookmark", "a note"});

    std::vector<AnnotationRecord> records;
    QVERIFY(importAnnotations(records, path));
    QCOMPARE(int(records.size()), kinds.size());
    for (int i = 0; i < kinds.size(); ++i) {
        QCOMPARE(records[i].kind, kinds[i]);
        QCOMPARE(records[i].isBookmark, i == 2);
        QCOMPARE(records[i].noteText, QStringLiteral("a note"));
    }
}

void tst_annotationimport::import_rowsWithoutOpeningTag101_ignored()
{
    const fs::path path = newDbPath();
    BooksDb db(path);
    const int64_t book = db.addBook("A Book", "An Author");
    // Items with tags above 100 but no tag 101, before and after the one annotation.
    auto addBareItem = [&db, book](int64_t oid) {
        db.exec(QStringLiteral("INSERT INTO Items (OID, ParentID, TypeID) VALUES (?, ?, ?)"),
                {qlonglong(oid), qlonglong(book), BooksDb::annotationTypeId});
        db.setTag(oid, 102, "bookmark");
        db.setTag(oid, 104, R"({"text":"stray"})");
        db.setTag(oid, 105, R"({"text":"stray note"})");
        db.setTag(oid, 106, "red");
    };
    addBareItem(10);
    const int64_t oid = db.addAnnotation(book, {"highlight", 3, 4, 1535639951, "mine"});
    addBareItem(oid + 10);

    std::vector<AnnotationRecord> records;
    QVERIFY(importAnnotations(records, path));
    QCOMPARE(records.size(), size_t(1));
    QCOMPARE(records[0].oid, int(oid));
    QCOMPARE(records[0].kind, QStringLiteral("highlight"));
    QCOMPARE(records[0].isBookmark, false);
    QCOMPARE(records[0].highlightText, QStringLiteral("mine"));
    QCOMPARE(records[0].noteText, QString());
    QCOMPARE(records[0].color, int(color_yellow));
}

void tst_annotationimport::import_tags103And107AndOthers_ignored()
{
    const fs::path path = newDbPath();
    BooksDb db(path);
    const int64_t book = db.addBook("A Book", "An Author");
    AnnotationSpec annotation{"note", 1, 2, 1535639951, "quoted", "my note", "blue"};
    annotation.extraTags = {
        {103, R"({"text":"103"})"}, {107, "red"}, {150, R"({"text":"150"})"}, {16, "An Author"}};
    db.addAnnotation(book, annotation);

    std::vector<AnnotationRecord> records;
    QVERIFY(importAnnotations(records, path));
    QCOMPARE(records.size(), size_t(1));
    QCOMPARE(records[0].kind, QStringLiteral("note"));
    QCOMPARE(records[0].highlightText, QStringLiteral("quoted"));
    QCOMPARE(records[0].noteText, QStringLiteral("my note"));
    QCOMPARE(records[0].color, int(color_blue));
}

void tst_annotationimport::import_unicodeTexts_keptIntact()
{
    const fs::path path = newDbPath();
    BooksDb db(path);
    const int64_t book = db.addBook("A Book", "An Author");
    const QString text = QStringLiteral("First\u2029Second \U0001F600 e\u0301 \u00a0\"quoted\" \\");
    const QString note = QStringLiteral("\u0416\u0443\u0440\u043d\u0430\u043b \U0001F4DA\n\ttab");
    db.addAnnotation(book, {"note", 1, 2, 1535639951, text.toStdString(), note.toStdString()});

    std::vector<AnnotationRecord> records;
    QVERIFY(importAnnotations(records, path));
    QCOMPARE(records.size(), size_t(1));
    QCOMPARE(records[0].highlightText, text);
    QCOMPARE(records[0].noteText, note);
}

void tst_annotationimport::import_stateNotZero_notImported()
{
    const fs::path path = newDbPath();
    BooksDb db(path);
    const int64_t book = db.addBook("A Book", "An Author");
    AnnotationSpec deleted;
    deleted.state = 2;
    db.addAnnotation(book, deleted);
    AnnotationSpec other;
    other.state = 1;
    db.addAnnotation(book, other);
    const int64_t kept = db.addAnnotation(book);

    std::vector<AnnotationRecord> records;
    QVERIFY(importAnnotations(records, path));
    QCOMPARE(records.size(), size_t(1));
    QCOMPARE(records[0].oid, int(kept));
}

void tst_annotationimport::import_records_orderedByOid()
{
    const fs::path path = newDbPath();
    BooksDb db(path);
    const int64_t first = db.addBook("First", "An Author", 100);
    const int64_t second = db.addBook("Second", "An Author", 50);
    const int64_t a = db.addAnnotation(first, {"highlight", 1, 0, 1535639951, "a"});
    const int64_t b = db.addAnnotation(second, {"highlight", 0, 0, 1535639951, "b"});
    // Inserted last, and so last in Tags too, but with the lowest OID.
    db.exec(QStringLiteral("INSERT INTO Items (OID, ParentID, TypeID) VALUES (7, ?, ?)"),
            {qlonglong(first), BooksDb::annotationTypeId});
    db.setTag(7, 106, "red");
    db.setTag(7, 101, R"({"anchor":"pbr:/word?page=9&offs=9#x","created":5})");

    std::vector<AnnotationRecord> records;
    QVERIFY(importAnnotations(records, path));
    QCOMPARE(records.size(), size_t(3));
    QCOMPARE(records[0].oid, 7);
    QCOMPARE(records[0].color, int(color_red)); // 106 stored before 101, read after it
    QCOMPARE(records[1].oid, int(a));
    QCOMPARE(records[2].oid, int(b));
    QCOMPARE(records[2].parentId, int(second));
}

void tst_annotationimport::import_malformedTagValues_giveZeroOrEmpty_data()
{
    QTest::addColumn<int>("tagId");
    QTest::addColumn<QVariant>("value"); // a null QVariant stores NULL
    QTest::addColumn<qint64>("created");
    QTest::addColumn<int>("page");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("note");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("colour");

    const QString t = QStringLiteral("Highlighted");
    const QString n = QStringLiteral("note");
    const QString h = QStringLiteral("highlight");
    const qint64 c = 1535639951;
    const int y = color_yellow;
    auto json = [](const char *text) { return QVariant(QString::fromUtf8(text)); };
    QTest::newRow("101 not JSON") << 101 << json("{not json") << 0LL << 1 << t << n << h << y;
    QTest::newRow("101 array") << 101 << json("[1535639951]") << 0LL << 1 << t << n << h << y;
    QTest::newRow("101 NULL") << 101 << QVariant() << 0LL << 1 << t << n << h << y;
    QTest::newRow("101 no members") << 101 << json("{}") << 0LL << 1 << t << n << h << y;
    QTest::newRow("created as double")
        << 101 << json(R"({"created":1.5e9,"anchor":"pbr:/word?page=4&offs=17#x"})") << 1500000000LL
        << 5 << t << n << h << y;
    QTest::newRow("created with fraction")
        << 101 << json(R"({"created":1535639951.9})") << c << 1 << t << n << h << y;
    QTest::newRow("created as text")
        << 101 << json(R"({"created":"1535639951"})") << 0LL << 1 << t << n << h << y;
    QTest::newRow("created beyond 64 bits")
        << 101 << json(R"({"created":1e30})") << 0LL << 1 << t << n << h << y;
    QTest::newRow("created largest 64-bit")
        << 101 << json(R"({"created":9223372036854775807})") << std::numeric_limits<qint64>::max()
        << 1 << t << n << h << y;
    QTest::newRow("anchor not text")
        << 101 << json(R"({"created":5,"anchor":12})") << 5LL << 1 << t << n << h << y;
    QTest::newRow("102 NULL") << 102 << QVariant() << c << 1 << t << n << QString() << y;
    QTest::newRow("104 not JSON") << 104 << json("plain") << c << 1 << QString() << n << h << y;
    QTest::newRow("104 text a number")
        << 104 << json(R"({"text":42})") << c << 1 << QString() << n << h << y;
    QTest::newRow("104 NULL") << 104 << QVariant() << c << 1 << QString() << n << h << y;
    QTest::newRow("101 trailing garbage")
        << 101 << json(R"({"created":5,"anchor":"pbr:/word?page=4&offs=17#x"}x)") << 0LL << 1 << t
        << n << h << y;
    QTest::newRow("104 duplicate text, last kept")
        << 104 << json(R"({"text":"first","text":"last"})") << c << 1 << QStringLiteral("last")
        << n << h << y;
    QTest::newRow("105 array") << 105 << json(R"(["note"])") << c << 1 << t << QString() << h << y;
    QTest::newRow("105 BLOB") << 105 << QVariant(QByteArray(R"({"text":"blob"})")) << c << 1 << t
                              << QStringLiteral("blob") << h << y;
    QTest::newRow("105 BLOB not UTF-8")
        << 105 << QVariant(QByteArray("{\"text\":\"\xff\"}")) << c << 1 << t << QString() << h << y;
    QTest::newRow("106 NULL") << 106 << QVariant() << c << 1 << t << n << h << int(color_none);
}

void tst_annotationimport::import_malformedTagValues_giveZeroOrEmpty()
{
    QFETCH(int, tagId);
    QFETCH(QVariant, value);
    QFETCH(qint64, created);
    QFETCH(int, page);
    QFETCH(QString, text);
    QFETCH(QString, note);
    QFETCH(QString, kind);
    QFETCH(int, colour);

    const fs::path path = newDbPath();
    BooksDb db(path);
    const int64_t book = db.addBook("A Book", "An Author");
    const int64_t oid =
        db.addAnnotation(book, {"highlight", 0, 0, 1535639951, "Highlighted", "note"});
    db.exec(QStringLiteral("UPDATE Tags SET Val = ? WHERE ItemID = ? AND TagID = ?"),
            {value, qlonglong(oid), tagId});

    std::vector<AnnotationRecord> records;
    QVERIFY(importAnnotations(records, path));
    QCOMPARE(records.size(), size_t(1));
    QCOMPARE(records[0].created, int64_t(created));
    QCOMPARE(records[0].page, page);
    QCOMPARE(records[0].highlightText, text);
    QCOMPARE(records[0].noteText, note);
    QCOMPARE(records[0].kind, kind);
    QCOMPARE(records[0].isBookmark, false);
    QCOMPARE(records[0].color, colour);
}

void tst_annotationimport::import_nullColumns_readAsZeroOrLeftOut()
{
    // A schema without NOT NULL, so that every column can hold NULL.
    const fs::path path = newDbPath();
    fixture::SqliteFile db(path);
    db.exec(
        QStringLiteral("CREATE TABLE Items (OID INTEGER PRIMARY KEY, ParentID, State, TimeAlt)"));
    db.exec(QStringLiteral("CREATE TABLE Tags (ItemID, TagID, Val)"));
    db.exec(QStringLiteral("INSERT INTO Items VALUES (1, NULL, 0, NULL), (2, 5, NULL, 0), "
                           "(3, 5, 0, 'soon')"));
    const QString open = QStringLiteral(R"({"created":7})");
    db.exec(QStringLiteral("INSERT INTO Tags VALUES (1, 101, ?), (1, NULL, 'red'), (2, 101, ?), "
                           "(3, 101, ?), (NULL, 101, ?)"),
            {open, open, open, open});

    std::vector<AnnotationRecord> records;
    QVERIFY(importAnnotations(records, path));
    QCOMPARE(records.size(), size_t(2)); // item 2: NULL State is not 0
    QCOMPARE(records[0].parentId, 0);
    QCOMPARE(records[0].timeAlt, int64_t(0));
    QCOMPARE(records[0].color, int(color_none)); // the NULL TagID row is left out
    QCOMPARE(records[1].oid, 3);
    QCOMPARE(records[1].timeAlt, int64_t(0));
    QCOMPARE(records[1].created, int64_t(7));
}

void tst_annotationimport::import_fiveMegabyteHighlight_readWhole()
{
    const fs::path path = newDbPath();
    BooksDb db(path);
    const int64_t book = db.addBook("A Book", "An Author");
    const QString unit = QStringLiteral("\u00c4 text\u2029\U0001F600 ");
    const QString text = unit.repeated(5 * 1024 * 1024 / unit.toUtf8().size() + 1);
    QVERIFY(text.toUtf8().size() > 5 * 1024 * 1024);
    db.addAnnotation(book, {"highlight", 1, 1, 1535639951, text.toStdString(), "n"});
    db.addAnnotation(book);

    std::vector<AnnotationRecord> records;
    QVERIFY(importAnnotations(records, path));
    QCOMPARE(records.size(), size_t(2));
    QVERIFY(records[0].highlightText == text);
    QCOMPARE(records[1].highlightText, QStringLiteral("Highlighted"));
}

void tst_annotationimport::import_unusableFile_falseAndEmpty_data()
{
    QTest::addColumn<BadFile>("bad");
    QTest::addColumn<QString>("warning"); // a pattern

    const QString exec = QStringLiteral("^Query exec ERROR: ");
    QTest::newRow("missing") << BadFile::Missing << QString();
    // SQLite opens the file at once, so only a folder fails the open itself.
    QTest::newRow("a folder") << BadFile::Directory << QStringLiteral("^ERROR: disk I/O error");
    QTest::newRow("not SQLite") << BadFile::NotSqlite
                                << exec + QStringLiteral("file is not a database");
    QTest::newRow("empty file") << BadFile::Empty << exec + QStringLiteral("no such table: Items");
    QTest::newRow("truncated") << BadFile::Truncated
                               << exec + QStringLiteral("database disk image is malformed");
    // The first rows read, then a step fails: no half list comes back.
    QTest::newRow("damaged last page")
        << BadFile::DamagedPage << exec + QStringLiteral("database disk image is malformed");
    QTest::newRow("no Tags table")
        << BadFile::NoTagsTable << exec + QStringLiteral("no such table: Tags");
    QTest::newRow("Items without TimeAlt")
        << BadFile::NoTimeAlt << exec + QStringLiteral("no such column: i\\.TimeAlt");
}

void tst_annotationimport::import_unusableFile_falseAndEmpty()
{
    QFETCH(BadFile, bad);
    QFETCH(QString, warning);

    const fs::path path = newDbPath();
    fs::create_directories(path.parent_path());
    switch (bad) {
    case BadFile::Missing:
        break;
    case BadFile::Directory:
        fs::create_directory(path);
        break;
    case BadFile::NotSqlite:
        std::ofstream(path) << std::string(8192, 'x');
        break;
    case BadFile::Empty:
        std::ofstream{path};
        break;
    case BadFile::Truncated:
    case BadFile::DamagedPage: {
        {
            BooksDb db(path);
            const int64_t book = db.addBook("A Book", "An Author");
            db.transaction([&] {
                for (int i = 0; i < 100; ++i)
                    db.addAnnotation(book, {"highlight", i, i, 1535639951, std::string(1500, 'w')});
            });
        }
        if (bad == BadFile::Truncated) {
            fs::resize_file(path, fs::file_size(path) / 2);
        } else {
            std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
            file.seekp(std::streamoff(fs::file_size(path)) - 4096); // SQLite's default page size
            file << std::string(4096, '\xff');
        }
        break;
    }
    case BadFile::NoTagsTable:
    case BadFile::NoTimeAlt: {
        fixture::SqliteFile db(path);
        db.exec(QStringLiteral("CREATE TABLE Items (OID INTEGER PRIMARY KEY, ParentID, State") +
                (bad == BadFile::NoTagsTable ? QStringLiteral(", TimeAlt)") : QStringLiteral(")")));
        if (bad == BadFile::NoTimeAlt)
            db.exec(QStringLiteral("CREATE TABLE Tags (ItemID, TagID, Val)"));
        break;
    }
    }

    if (bad == BadFile::Missing)
        QTest::ignoreMessage(QtDebugMsg, "Dbpath not found. Reader disconnected?");
    else
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    if (bad == BadFile::DamagedPage)
        QTest::ignoreMessage(QtDebugMsg, "Start annotations processing.");
    std::vector<AnnotationRecord> records(2);
    QVERIFY(!importAnnotations(records, path));
    QVERIFY(records.empty());
}

void tst_annotationimport::import_exclusiveLockRollbackJournal_failsAfterBusyTimeout()
{
    const fs::path path = newDbPath();
    BooksDb db(path);
    const int64_t book = db.addBook("A Book", "An Author");
    db.addAnnotation(book);
    db.exec(QStringLiteral("BEGIN EXCLUSIVE"));
    db.addAnnotation(book);

    // Qt's QSQLITE waits its busy timeout, then gives up: a clear failure, never a hang.
    expectExecError(QStringLiteral("database is locked"));
    std::vector<AnnotationRecord> records;
    QVERIFY(!importAnnotations(records, path));
    QVERIFY(records.empty());

    db.exec(QStringLiteral("COMMIT"));
    QVERIFY(importAnnotations(records, path));
    QCOMPARE(records.size(), size_t(2));
}

void tst_annotationimport::import_exclusiveLockWal_readsCommittedRows()
{
    const fs::path path = newDbPath();
    BooksDb db(path);
    db.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
    const int64_t book = db.addBook("A Book", "An Author");
    db.addAnnotation(book);
    db.exec(QStringLiteral("BEGIN EXCLUSIVE"));
    db.addAnnotation(book);

    // In WAL mode an exclusive writer does not block readers; they see the last commit.
    std::vector<AnnotationRecord> records;
    QVERIFY(importAnnotations(records, path));
    QCOMPARE(records.size(), size_t(1));
    db.exec(QStringLiteral("ROLLBACK"));
}

void tst_annotationimport::import_walWithWriterOpen_readsNewestAnnotations()
{
    const fs::path path = newDbPath();
    BooksDb db(path);
    const int64_t book = db.addBook("A Book", "An Author");
    db.addAnnotation(book, {"highlight", 1, 1, 1535639951, "in the database file"});
    db.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
    db.exec(QStringLiteral("PRAGMA wal_autocheckpoint=0"));
    db.addAnnotation(book, {"highlight", 2, 2, 1535639951, "in the log"});
    db.addAnnotation(book, {"bookmark", 3, 3, 1535639951, "Bookmark"});
    QVERIFY(fs::file_size(withSuffix(path, "-wal")) > 0);

    std::vector<AnnotationRecord> records;
    QVERIFY(importAnnotations(records, path));
    QCOMPARE(records.size(), size_t(3));
    QCOMPARE(records[1].highlightText, QStringLiteral("in the log"));
    QCOMPARE(records[2].isBookmark, true);

    // The database file alone holds only the first: the others are in "-wal".
    const fs::path alone = newDbPath();
    fs::create_directories(alone.parent_path());
    fs::copy_file(path, alone);
    QVERIFY(importAnnotations(records, alone));
    QCOMPARE(records.size(), size_t(1));
}

void tst_annotationimport::import_walCopyWithoutShm_readsLogAndChangesNothing()
{
    // A local mirror copies "books.db" and "books.db-wal" but never "-shm".
    const fs::path path = newDbPath();
    const fs::path copy = newDbPath();
    writeWalDatabase(path, copy, true);
    const QByteArray dbBefore = fileBytes(copy);
    const QByteArray walBefore = fileBytes(withSuffix(copy, "-wal"));
    QVERIFY(!walBefore.isEmpty());

    std::vector<AnnotationRecord> records;
    QVERIFY(importAnnotations(records, copy));
    QCOMPARE(records.size(), size_t(3));
    // A read-only connection never checkpoints: database and log stay as they were.
    QCOMPARE(fileBytes(copy), dbBefore);
    QCOMPARE(fileBytes(withSuffix(copy, "-wal")), walBefore);

    QVERIFY(importAnnotations(records, path));
    QCOMPARE(records.size(), size_t(3));
    QVERIFY(s_warnings.isEmpty());
}

void tst_annotationimport::import_walIndexCannotBeCreated_readsPrivateCopy_data()
{
    QTest::addColumn<NoIndex>("situation");
    QTest::addColumn<bool>("withWal");

    // SQLite opens "-shm" with O_NOFOLLOW: a dangling link there fails its create and its
    // read-only open, as a read-only folder does for a non-root user (root writes anyway).
    QTest::newRow("-shm cannot be opened") << NoIndex::ShmUnusable << true;
    QTest::newRow("read-only folder, -wal without -shm") << NoIndex::ReadOnlyFolder << true;
    QTest::newRow("read-only folder, WAL database without -wal")
        << NoIndex::ReadOnlyFolderNoWal << false;
}

void tst_annotationimport::import_walIndexCannotBeCreated_readsPrivateCopy()
{
    QFETCH(NoIndex, situation);
    QFETCH(bool, withWal);
    if (situation != NoIndex::ShmUnusable && ::geteuid() == 0)
        QSKIP("root writes into read-only folders; the '-shm cannot be opened' row covers it");

    const fs::path path = newDbPath();
    const fs::path target = newDbPath();
    writeWalDatabase(path, target, withWal);
    if (!withWal)
        fs::copy_file(path, target);
    if (situation == NoIndex::ShmUnusable)
        fs::create_symlink("/nonexistent/books.db-shm", withSuffix(target, "-shm"));
    const QStringList entriesBefore = folderEntries(target.parent_path());
    const PermissionRestorer restorer(target.parent_path());
    if (situation != NoIndex::ShmUnusable)
        QCOMPARE(::chmod(target.parent_path().c_str(), 0555), 0);

    std::vector<AnnotationRecord> records;
    QVERIFY(importAnnotations(records, target));
    QCOMPARE(records.size(), size_t(3));
    QCOMPARE(folderEntries(target.parent_path()), entriesBefore);
    QVERIFY2(s_warnings.isEmpty(), qPrintable(s_warnings.join(QLatin1Char('\n'))));
}

QTEST_GUILESS_MAIN(tst_annotationimport)
#include "tst_annotationimport.moc"
