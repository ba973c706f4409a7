#include "database/annotationimport.h"

#include "core/textconv.h"
#include "database/jsonscan.h"
#include "support/jsonreference.h"
#include "readerfixture/readerfixture.h"
#include "support/testenv.h"
#include "support/testhelpers.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <limits>

namespace fs = std::filesystem;
using fixture::BooksDb;
using testhelpers::BrokenDb;

namespace {

constexpr int int32Max = std::numeric_limits<int32_t>::max();

// What glibc's sscanf makes of the anchor's UTF-8 bytes, counting only a full match.
std::pair<int, int> sscanfAnchor(const QString &anchor)
{
    const QByteArray bytes = anchor.toUtf8();
    std::vector<char> word(size_t(bytes.size()) + 8), rest(size_t(bytes.size()) + 8);
    int page = 0, offset = 0;
    if (std::sscanf(bytes.constData(), "pbr:/%4s?page=%d&offs=%d#%s", word.data(), &page, &offset,
                    rest.data()) != 4)
        return {0, 0};
    return {page, offset};
}

QString pick(QRandomGenerator &random, const QStringList &list)
{
    return list[random.bounded(list.size())];
}

QString randomAnchor(QRandomGenerator &random)
{
    static const QStringList words = QStringList{"word", "ab", "words", "\u00f6\u00f6", "ab\u20ac",
        "\U0001F600", " \tword", "wor "} << QString(QChar(0xd800)) + "w" << "webkit" << QString();
    static const QStringList glue{"?page=", "?page= ", "?Page=", "page="};
    static const QStringList offs{"&offs=", "&offs=\n", "&off="};
    static const QStringList tails = QStringList{"#x", "##epubcfi(/6/4)", "#", "# \t", QString()}
                                     << QStringLiteral("#") + QChar(0) + "x" << "x#y";
    static const QStringList signs{QString(), "-", "+", "00", "-"};
    auto number = [&random]() {
        if (random.bounded(10) == 0)
            return QString(); // no digits
        const qint64 value = random.bounded(4) == 0
                                 ? qint64(random.generate() % (uint32_t(int32Max) + 1u))
                                 : random.bounded(100000);
        return pick(random, signs) + QString::number(value) +
               (random.bounded(12) == 0 ? QStringLiteral("x") : QString());
    };
    const QString scheme = random.bounded(15) == 0 ? QStringLiteral("PBR:/") : QStringLiteral("pbr:/");
    return scheme + pick(random, words) + pick(random, glue) + number() + pick(random, offs) +
           number() + pick(random, tails);
}

// A JSON text made of members the import reads and others, then perhaps damaged.
QString randomJson(QRandomGenerator &random)
{
    static const QStringList names{"\"text\"", "\"created\"", "\"t\\u0065xt\"", "\"a\"", "\"\""};
    static const QStringList values = QStringList{"\"x\"", "\"a\\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e9\"",
        "\"\\ud83d\\ude00\\ude00\"", "\"\\a\\'\"", "\"\\u12\""}
        << QString("\"") + QChar(0xde00) + QChar(0xd83d) + "\"" << QString("\"") + QChar(0xfeff) + "x\""
        << QString("\"") + QChar(1) + QChar(0) + "\"" << QStringList{"1535639951", "-0", "1.5e9", "12.",
        "-.5", "01", "+1", "1e+", "1e400", "1e-400", "0e-400", "4e-324", "9223372036854775807",
        "9223372036854775808", "-9223372036854775809", "1535639951.9", "true", "null", "tru",
        "[1,{\"created\":9},[]]", "{}", "[1,]", QString(309, '9')};
    static const QStringList blanks{QString(), QString(), " ", "\n\t", "\v", QString(QChar(0xfeff))};
    QString json = pick(random, blanks) + QLatin1Char('{');
    const int members = random.bounded(4);
    for (int i = 0; i < members; ++i) {
        if (i > 0)
            json += random.bounded(20) == 0 ? QStringLiteral(" ") : QStringLiteral(",");
        json += pick(random, blanks) + pick(random, names) + pick(random, blanks) + ':' +
                pick(random, values) + pick(random, blanks);
    }
    json += random.bounded(20) == 0 ? QStringLiteral(",}") : QStringLiteral("}");
    if (random.bounded(10) == 0)
        json = random.bounded(2) ? json + pick(random, values) : '[' + json + ']';
    if (random.bounded(8) == 0 && !json.isEmpty()) // cut or change one unit
        json = random.bounded(2) ? json.left(random.bounded(json.size()))
                                 : json.replace(random.bounded(json.size()), 1, QChar('"'));
    return json;
}

} // namespace

Q_DECLARE_METATYPE(BrokenDb)

class tst_annotationimport : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;
    int m_count = 0;

    fs::path newDbPath()
    {
        // A folder per database: SQLite keeps "-wal" and "-shm" beside it.
        return toPath(m_tmp.path()) / ("profile" + std::to_string(++m_count)) / "books.db";
    }

    // Three annotations in a WAL database, the last two only in "-wal" while the writer is
    // open. With `copyLog`, `copy` gets the database and its log as they stood then, else the
    // database after the writer's closing checkpoint.
    static void writeWalDatabase(const fs::path &path, const fs::path &copy, bool copyLog)
    {
        fs::create_directories(copy.parent_path());
        {
            BooksDb db(path);
            const int64_t book = db.addBook("A Book", "An Author");
            db.addAnnotation(book);
            db.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
            db.exec(QStringLiteral("PRAGMA wal_autocheckpoint=0"));
            db.addAnnotation(book);
            db.addAnnotation(book);
            if (copyLog) {
                fs::copy_file(path, copy);
                fs::copy_file(path.string() + "-wal", copy.string() + "-wal");
            }
        }
        if (!copyLog)
            fs::copy_file(path, copy);
    }

    // The records of a successful import; a failed one gives a single record with oid -1.
    static std::vector<AnnotationRecord> imported(const fs::path &path)
    {
        std::vector<AnnotationRecord> records;
        if (!importAnnotations(records, path)) {
            records.resize(1);
            records.front().oid = -1;
        }
        return records;
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(m_tmp.isValid());
    }

    void cleanup()
    {
        // Every import removes its connection again.
        QVERIFY(!QSqlDatabase::contains(QStringLiteral("annotationsimporter")));
    }

    void parsePbrAnchor_namedRows_data()
    {
        QTest::addColumn<QString>("anchor");
        QTest::addColumn<int>("page"); // of the record, 1-based
        QTest::addColumn<int>("offset");
        QTest::addColumn<int>("positionKey");
        const QString cfi = QStringLiteral("##epubcfi(/6/16!/4/2/328/1:185)");
        QTest::newRow("device anchor") << "pbr:/word?page=51&offs=351" + cfi << 52 << 352 << 510351;
        QTest::newRow("not pbr") << QStringLiteral("epubcfi(/6/16)") << 1 << 1 << 0;
        QTest::newRow("key saturates") << "pbr:/word?page=2000000&offs=5" + cfi << 2000001 << 6
                                       << int32Max;
        // Beyond int scanf is undefined; the parser refuses the anchor.
        QTest::newRow("page beyond int") << "pbr:/word?page=2147483648&offs=5" + cfi << 1 << 1 << 0;
    }

    void parsePbrAnchor_namedRows()
    {
        QFETCH(QString, anchor);
        QFETCH(int, page);
        QFETCH(int, offset);
        QFETCH(int, positionKey);
        AnnotationRecord record;
        setAnchorPosition(record, anchor);
        QCOMPARE(record.page, page);
        QCOMPARE(record.offset, offset);
        QCOMPARE(record.positionKey, positionKey);
    }

    void parsePbrAnchor_equalsSscanf()
    {
        QRandomGenerator random(20240610);
        for (int i = 0; i < 20000; ++i) {
            const QString anchor = randomAnchor(random);
            const auto parsed = parsePbrAnchor(anchor);
            const auto expected = sscanfAnchor(anchor);
            if (parsed != expected)
                QFAIL(qPrintable(QStringLiteral("%1: %2,%3 instead of %4,%5")
                                     .arg(anchor)
                                     .arg(parsed.first)
                                     .arg(parsed.second)
                                     .arg(expected.first)
                                     .arg(expected.second)));
        }
    }

    void classifyAnnotationColor_codes_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("code");
        const QList<QPair<QString, int>> rows = {
            {QString(), color_none}, {QStringLiteral("cian"), color_cyan}, // the device's spelling
            {QStringLiteral("gxxxn"), color_green}, // only characters 0 and 4 count
            {QStringLiteral("pink-purple"), color_pink}, // the "i" rule comes first
            {QStringLiteral("pur"), color_none}, {QStringLiteral("Yellow"), color_other},
            {QStringLiteral("\u0100x"), color_none}, {QStringLiteral("\U0001F49B"), color_none},
        };
        for (const auto &[name, code] : rows)
            QTest::newRow(name.isEmpty() ? "empty" : qPrintable(name)) << name << code;
    }

    void classifyAnnotationColor_codes()
    {
        QFETCH(QString, name);
        QFETCH(int, code);
        QCOMPARE(classifyAnnotationColor(name), code);
    }

    void jsonMembers_generatedTexts_equalQJsonDocument()
    {
        // Named texts first: the last of duplicate names, nesting, the depth limit, 64-bit ends.
        const QString deepest = QString(1023, '[') + QString(1023, ']');
        const QStringList named{"{\"text\":\"a\",\"created\":1,\"text\":\"b\",\"created\":2}",
                                "{\"a\":{\"text\":\"in\",\"created\":9},\"text\":\"out\"}",
                                "{\"text\":\"x\",\"a\":" + deepest + '}',
                                "{\"text\":\"x\",\"a\":[" + deepest + "]}",
                                "{\"created\":-9223372036854775809}"};
        QRandomGenerator random(7);
        int objects = 0;
        for (int i = 0; i < 20000 + named.size(); ++i) {
            const QString json = i < named.size() ? named[i] : randomJson(random);
            QJsonParseError error{};
            const QJsonDocument document = QJsonDocument::fromJson(json.toUtf8(), &error);
            const bool isObject = error.error == QJsonParseError::NoError && document.isObject();
            objects += isObject;
            const QJsonObject object = document.object();
            const QString text = object.value(QLatin1String("text")).toString();
            const JsonMembers members(json, {"created", "text"});
            QString storage;
            const bool same = members.isObject() == isObject && members.string(1) == text &&
                              members.string(1).isNull() == text.isNull() &&
                              members.stringView(1, storage).toString() == text &&
                              members.truncatedInteger(0) ==
                                  qtCreated(object.value(QLatin1String("created")));
            if (!same)
                QFAIL(qPrintable(QStringLiteral("differs from QJsonDocument: ") + json));
        }
        QVERIFY2(objects > 2000 && objects < 18005, qPrintable(QString::number(objects)));
    }

    void import_everyField()
    {
        const fs::path path = newDbPath();
        BooksDb db(path);
        const int64_t book = db.addBook("A Book", "An Author");
        fixture::AnnotationSpec item{"note", 4, 17, 1535639951, "First\u2029\U0001F600 \"q\" \\",
                                     "\u0416 \U0001F4DA\n\ttab", "blue"};
        item.timeAlt = 1600000000;
        item.extraTags = {{103, "{\"text\":\"103\"}"}, {107, "red"}, {16, "An Author"}};
        const int64_t oid = db.addAnnotation(book, item);

        const testhelpers::LogRecorder log;
        const auto records = imported(path);
        QCOMPARE(records.size(), size_t(1));
        const AnnotationRecord &r = records.front();
        QVERIFY(r.parentId == book && r.oid == oid && r.positionKey == 40017);
        QVERIFY(r.created == 1535639951 && r.timeAlt == 1600000000 && r.color == color_blue);
        QCOMPARE(r.kind, QStringLiteral("note"));
        QCOMPARE(r.highlightText, QString::fromStdString(item.text));
        QCOMPARE(r.noteText, QString::fromStdString(item.note));
        QVERIFY2(log.warnings().isEmpty(), log.joined());
    }

    void import_rowSelection()
    {
        const fs::path path = newDbPath();
        BooksDb db(path);
        const int64_t first = db.addBook("First", "An Author", 100);
        const int64_t second = db.addBook("Second", "An Author", 50);
        const QStringList kinds = {QStringLiteral("highlight"), QStringLiteral("bookmark"),
                                   QStringLiteral("Bookmark"), QStringLiteral("bookmark ")};
        for (const QString &kind : kinds)
            db.addAnnotation(second, {kind.toStdString(), 1, 2, 1535639951, "Bookmark", "n"});
        fixture::AnnotationSpec deleted, other;
        deleted.state = 2;
        other.state = 1;
        db.addAnnotation(first, deleted);
        db.addAnnotation(first, other);
        // An item with tags but no opening tag 101 is no annotation.
        db.exec(QStringLiteral("INSERT INTO Items (OID, ParentID, TypeID) VALUES (900, ?, ?)"),
                {qlonglong(first), BooksDb::annotationTypeId});
        db.setTag(900, 104, "{\"text\":\"stray\"}");
        // Inserted last with the lowest OID, its colour stored before tag 101.
        db.exec(QStringLiteral("INSERT INTO Items (OID, ParentID, TypeID) VALUES (7, ?, ?)"),
                {qlonglong(first), BooksDb::annotationTypeId});
        db.setTag(7, 106, "red");
        db.setTag(7, 101, "{\"anchor\":\"pbr:/word?page=9&offs=9#x\",\"created\":5}");

        const auto records = imported(path);
        QCOMPARE(records.size(), size_t(5));
        QCOMPARE(records[0].oid, 7);
        QCOMPARE(records[0].color, int(color_red));
        for (int i = 0; i < kinds.size(); ++i) {
            QCOMPARE(records[i + 1].kind, kinds[i]);
            QCOMPARE(records[i + 1].isBookmark, i == 1); // exact lower case only
        }
    }

    void import_malformedTagValues_data()
    {
        QTest::addColumn<int>("tagId");
        QTest::addColumn<QVariant>("value"); // a null QVariant stores NULL
        QTest::addColumn<qint64>("created");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("note");
        QTest::addColumn<int>("colour");
        const QString t = QStringLiteral("Highlighted"), n = QStringLiteral("note");
        const qint64 c = 1535639951;
        const int y = color_yellow;
        QTest::newRow("101 NULL") << 101 << QVariant() << 0LL << t << n << y;
        QTest::newRow("101 not JSON") << 101 << QVariant("{x") << 0LL << t << n << y;
        QTest::newRow("104 number") << 104 << QVariant("{\"text\":42}") << c << QString() << n << y;
        QTest::newRow("105 BLOB") << 105 << QVariant(QByteArray("{\"text\":\"b\"}")) << c << t << QStringLiteral("b") << y;
        QTest::newRow("105 BLOB not UTF-8") << 105 << QVariant(QByteArray("{\"text\":\"\xff\"}"))
                                            << c << t << QString() << y;
        QTest::newRow("106 NULL") << 106 << QVariant() << c << t << n << int(color_none);
    }

    void import_malformedTagValues()
    {
        QFETCH(int, tagId);
        QFETCH(QVariant, value);
        QFETCH(qint64, created);
        QFETCH(QString, text);
        QFETCH(QString, note);
        QFETCH(int, colour);
        const fs::path path = newDbPath();
        BooksDb db(path);
        const int64_t oid = db.addAnnotation(db.addBook("A Book", "An Author"),
                                             {"highlight", 0, 0, 1535639951, "Highlighted", "note"});
        db.exec(QStringLiteral("UPDATE Tags SET Val = ? WHERE ItemID = ? AND TagID = ?"),
                {value, qlonglong(oid), tagId});
        const auto records = imported(path);
        QCOMPARE(records.size(), size_t(1));
        QCOMPARE(records[0].created, int64_t(created));
        QCOMPARE(records[0].highlightText, text);
        QCOMPARE(records[0].noteText, note);
        QCOMPARE(records[0].color, colour);
    }

    void import_nullColumns()
    {
        const fs::path path = newDbPath();
        fixture::SqliteFile db(path);
        db.exec("CREATE TABLE Items (OID INTEGER PRIMARY KEY, ParentID, State, TimeAlt)");
        db.exec("CREATE TABLE Tags (ItemID, TagID, Val)");
        db.exec("INSERT INTO Items VALUES (1, NULL, 0, NULL), (2, 5, NULL, 0), (3, 5, 0, 'soon')");
        const QString open = QStringLiteral("{\"created\":7}");
        db.exec("INSERT INTO Tags VALUES (1, 101, ?), (1, NULL, 'red'), (2, 101, ?), (3, 101, ?), "
                "(NULL, 101, ?)", {open, open, open, open});
        const auto records = imported(path);
        QCOMPARE(records.size(), size_t(2)); // item 2: a NULL State is not 0
        QCOMPARE(records[0].color, int(color_none));
        QCOMPARE(records[1].oid, 3);
        QCOMPARE(records[1].timeAlt, int64_t(0));
    }

    void import_fiveMegabyteHighlight_readWhole()
    {
        const fs::path path = newDbPath();
        BooksDb db(path);
        const int64_t book = db.addBook("A Book", "An Author");
        const QString unit = QStringLiteral("\u00c4 text\u2029\U0001F600 ");
        const QString text = unit.repeated(5 * 1024 * 1024 / unit.toUtf8().size() + 1);
        db.addAnnotation(book, {"highlight", 1, 1, 1535639951, text.toStdString(), "n"});
        db.addAnnotation(book);
        const auto records = imported(path);
        QCOMPARE(records.size(), size_t(2));
        QVERIFY(records[0].highlightText == text);
    }

    void import_unusableFile_falseAndEmpty_data()
    {
        QTest::addColumn<BrokenDb>("kind");
        QTest::addColumn<QString>("schema"); // written instead when not empty
        QTest::newRow("missing") << BrokenDb::Missing << QString();
        QTest::newRow("a folder") << BrokenDb::Directory << QString();
        QTest::newRow("not SQLite") << BrokenDb::NotSqlite << QString();
        QTest::newRow("empty") << BrokenDb::Empty << QString();
        QTest::newRow("truncated") << BrokenDb::Truncated << QString();
        // The first rows read, then a step fails: no half list comes back.
        QTest::newRow("damaged last page") << BrokenDb::DamagedPage << QString();
        QTest::newRow("no Tags") << BrokenDb::Missing
                                 << "CREATE TABLE Items (OID INTEGER PRIMARY KEY, ParentID, State, TimeAlt)";
        QTest::newRow("no TimeAlt") << BrokenDb::Missing
                                    << "CREATE TABLE Items (OID INTEGER PRIMARY KEY, ParentID, State);"
                                       "CREATE TABLE Tags (ItemID, TagID, Val)";
    }

    void import_unusableFile_falseAndEmpty()
    {
        QFETCH(BrokenDb, kind);
        QFETCH(QString, schema);
        const fs::path path = newDbPath();
        testhelpers::writeBrokenDatabase(path, kind);
        if (!schema.isEmpty()) {
            fixture::SqliteFile db(path);
            for (const QString &statement : schema.split(';'))
                db.exec(statement);
        }
        if (kind != BrokenDb::Missing || !schema.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("ERROR: ")));
        std::vector<AnnotationRecord> records(2);
        QVERIFY(!importAnnotations(records, path));
        QVERIFY(records.empty());
    }

    void import_lockedDatabase_failsClearly_thenReads()
    {
        const fs::path path = newDbPath();
        BooksDb db(path);
        const int64_t book = db.addBook("A Book", "An Author");
        db.addAnnotation(book);
        db.exec(QStringLiteral("BEGIN EXCLUSIVE"));
        db.addAnnotation(book);
        // The driver's busy timeout ends the wait: a clear failure, never a hang.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("ERROR: database is locked"));
        std::vector<AnnotationRecord> records;
        QVERIFY(!importAnnotations(records, path));
        db.exec(QStringLiteral("COMMIT"));
        QCOMPARE(imported(path).size(), size_t(2));
    }

    void import_wal_readsLogAndChangesNothing()
    {
        const fs::path path = newDbPath();
        const fs::path copy = newDbPath(); // a mirror copies books.db and "-wal", never "-shm"
        writeWalDatabase(path, copy, true);
        const QByteArray db = testenv::readFile(copy), wal = testenv::readFile(copy.string() + "-wal");
        const testhelpers::LogRecorder log;
        QCOMPARE(imported(copy).size(), size_t(3));
        QCOMPARE(imported(path).size(), size_t(3));
        QVERIFY(testenv::readFile(copy) == db && testenv::readFile(copy.string() + "-wal") == wal);
        QVERIFY2(log.warnings().isEmpty(), log.joined());
    }

    void import_walIndexCannotBeCreated_readsPrivateCopy_data()
    {
        QTest::addColumn<bool>("readOnlyFolder"); // else "-shm" is a dangling link
        QTest::addColumn<bool>("withWal");
        QTest::newRow("-shm cannot be opened") << false << true;
        QTest::newRow("read-only folder") << true << true;
        QTest::newRow("read-only folder, no -wal") << true << false;
    }

    void import_walIndexCannotBeCreated_readsPrivateCopy()
    {
        QFETCH(bool, readOnlyFolder);
        QFETCH(bool, withWal);
        if (readOnlyFolder && ::geteuid() == 0)
            QSKIP("root writes into read-only folders");
        const fs::path path = newDbPath();
        const fs::path target = newDbPath();
        writeWalDatabase(path, target, withWal);
        if (!readOnlyFolder)
            fs::create_symlink("/nonexistent/books.db-shm", target.string() + "-shm");
        const QStringList before = testhelpers::folderEntries(target.parent_path());
        const testhelpers::PermissionRestorer restorer(target.parent_path());
        if (readOnlyFolder)
            QCOMPARE(::chmod(target.parent_path().c_str(), 0555), 0);
        const testhelpers::LogRecorder log;
        QCOMPARE(imported(target).size(), size_t(3));
        QCOMPARE(testhelpers::folderEntries(target.parent_path()), before);
        QVERIFY2(log.warnings().isEmpty(), log.joined());
    }
};

QTEST_GUILESS_MAIN(tst_annotationimport)
#include "tst_annotationimport.moc"
