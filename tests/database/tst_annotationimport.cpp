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
#include <QSqlDatabase>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <limits>
#include <tuple>

namespace fs = std::filesystem;
using fixture::BooksDb;

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
    // The empty word last; an unpaired surrogate becomes '?' in UTF-8.
    static const QStringList words =
        QStringLiteral("word|ab|words|\u00f6\u00f6|ab\u20ac|\U0001F600| \tword|wor |webkit|")
            .split(QLatin1Char('|'))
        << QString(QChar(0xd800)) + "w";
    static const QStringList glue{"?page=", "?page= ", "?Page=", "page="};
    static const QStringList offs{"&offs=", "&offs=\n", "&off="};
    static const QStringList tails =
        QStringLiteral("#x|##epubcfi(/6/4)|#|# \t|x#y|").split(QLatin1Char('|'))
        << QStringLiteral("#") + QChar(0) + "x";
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
    const QString scheme =
        random.bounded(15) == 0 ? QStringLiteral("PBR:/") : QStringLiteral("pbr:/");
    return scheme + pick(random, words) + pick(random, glue) + number() + pick(random, offs) +
           number() + pick(random, tails);
}

// A JSON text made of members the import reads and others, then perhaps damaged.
QString randomJson(QRandomGenerator &random)
{
    static const QStringList names{"\"text\"", "\"created\"", "\"t\\u0065xt\"", "\"a\"", "\"\""};
    static const QStringList values =
        QStringLiteral("1535639951 -0 1.5e9 12. -.5 01 +1 1e+ 1e400 1e-400 0e-400 4e-324 "
                       "9223372036854775807 9223372036854775808 -9223372036854775809 "
                       "1535639951.9 true null tru [1,{\"created\":9},[]] {} [1,] \"x\" "
                       "\"a\\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e9\" \"\\ud83d\\ude00\\ude00\" "
                       "\"\\a\\'\" \"\\u12\"")
            .split(QLatin1Char(' '))
        << QString(309, '9') << QString("\"") + QChar(0xde00) + QChar(0xd83d) + "\""
        << QString("\"") + QChar(0xfeff) + "x\"" << QString("\"") + QChar(1) + QChar(0) + "\"";
    static const QStringList blanks{QString(), QString(), " ",
                                    "\n\t",    "\v",      QString(QChar(0xfeff))};
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

    // The records of an import; none when it failed.
    static std::vector<AnnotationRecord> imported(const fs::path &path)
    {
        std::vector<AnnotationRecord> records;
        importAnnotations(records, path);
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

    void setAnchorPosition_namedRows()
    {
        const QString cfi = QStringLiteral("##epubcfi(/6/16!/4/2/328/1:185)");
        // The record's page and offset (1-based) and position key. The key saturates; beyond
        // int scanf is undefined, and the parser refuses the anchor.
        const std::tuple<QString, int, int, int> rows[] = {
            {"pbr:/word?page=51&offs=351" + cfi, 52, 352, 510351},
            {"epubcfi(/6/16)", 1, 1, 0},
            {"pbr:/word?page=2000000&offs=5" + cfi, 2000001, 6, int32Max},
            {"pbr:/word?page=2147483648&offs=5" + cfi, 1, 1, 0}};
        for (const auto &[anchor, page, offset, key] : rows) {
            AnnotationRecord r;
            setAnchorPosition(r, anchor);
            QVERIFY2(r.page == page && r.offset == offset && r.positionKey == key,
                     qPrintable(anchor));
        }
    }

    void parsePbrAnchor_equalsSscanf()
    {
        QRandomGenerator random(20240610);
        for (int i = 0; i < 20000; ++i) {
            const QString anchor = randomAnchor(random);
            QVERIFY2(parsePbrAnchor(anchor) == sscanfAnchor(anchor), qPrintable(anchor));
        }
    }

    void classifyAnnotationColor_codes()
    {
        // "cian" is the device's spelling; for "g" only characters 0 and 4 count; for "p" the
        // "i" rule comes first.
        const QList<QPair<QString, int>> rows = {
            {QString(), color_none},     {"cian", color_cyan},      {"gxxxn", color_green},
            {"pink-purple", color_pink}, {"pur", color_none},       {"Yellow", color_other},
            {"\u0100x", color_none},     {"\U0001F49B", color_none}};
        for (const auto &[name, code] : rows)
            QVERIFY2(classifyAnnotationColor(name) == code, qPrintable(name));
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
            const QJsonDocument document = QJsonDocument::fromJson(json.toUtf8());
            objects += document.isObject(); // a text Qt refuses gives no document
            const QJsonObject object = document.object();
            const QString text = object.value(QLatin1String("text")).toString();
            const JsonMembers members(json, {"created", "text"});
            QString storage;
            const bool same =
                members.isObject() == document.isObject() && members.string(1) == text &&
                members.string(1).isNull() == text.isNull() &&
                members.stringView(1, storage).toString() == text &&
                members.truncatedInteger(0) == qtCreated(object.value(QLatin1String("created")));
            QVERIFY2(same, qPrintable(json));
        }
        QVERIFY2(objects > 2000 && objects < 18005, qPrintable(QString::number(objects)));
    }

    void import_rowsAndFields()
    {
        BooksDb db(newDbPath());
        const int64_t first = db.addBook("First", "An Author", 100);
        const int64_t second = db.addBook("Second", "An Author", 50);
        // Every field, with a highlight of five megabytes that must come back whole.
        const QString unit = QStringLiteral("\u00c4 text\u2029\U0001F600 \"q\" \\");
        const QString text = unit.repeated(5 * 1024 * 1024 / unit.toUtf8().size() + 1);
        fixture::AnnotationSpec item{
            "note", 4, 17, 1535639951, text.toStdString(), "\u0416 \U0001F4DA\n\ttab", "blue"};
        item.timeAlt = 1600000000;
        item.extraTags = {{103, "{\"text\":\"103\"}"}, {107, "red"}, {16, "An Author"}};
        const int64_t oid = db.addAnnotation(second, item);
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

        const auto records = imported(db.path());
        QCOMPARE(records.size(), size_t(6));
        QCOMPARE(records[0].oid, 7);
        QCOMPARE(records[0].color, int(color_red));
        const AnnotationRecord &r = records[1];
        QVERIFY(r.parentId == second && r.oid == oid && r.positionKey == 40017);
        QVERIFY(r.created == 1535639951 && r.timeAlt == 1600000000 && r.color == color_blue);
        QCOMPARE(r.kind, QStringLiteral("note"));
        QVERIFY(r.highlightText == text);
        QCOMPARE(r.noteText, QString::fromStdString(item.note));
        for (int i = 0; i < kinds.size(); ++i) {
            QCOMPARE(records[i + 2].kind, kinds[i]);
            QCOMPARE(records[i + 2].isBookmark, i == 1); // exact lower case only
        }
    }

    void import_malformedTagValues()
    {
        BooksDb db(newDbPath());
        const int64_t book = db.addBook("A Book", "An Author");
        // Created, highlight, note and colour; a null QVariant stores NULL.
        const std::tuple<int, QVariant, QString> rows[] = {
            {101, QVariant(), "0|Highlighted|note|1"},
            {101, QVariant("{x"), "0|Highlighted|note|1"},
            {104, QVariant("{\"text\":42}"), "1535639951||note|1"},
            {105, QVariant(QByteArray("{\"text\":\"b\"}")), "1535639951|Highlighted|b|1"},
            {105, QVariant(QByteArray("{\"text\":\"\xff\"}")), "1535639951|Highlighted||1"},
            {106, QVariant(), "1535639951|Highlighted|note|0"},
        };
        QStringList expected, actual;
        for (const auto &[tagId, value, fields] : rows) {
            const int64_t oid =
                db.addAnnotation(book, {"highlight", 0, 0, 1535639951, "Highlighted", "note"});
            db.exec(QStringLiteral("UPDATE Tags SET Val = ? WHERE ItemID = ? AND TagID = ?"),
                    {value, qlonglong(oid), tagId});
            expected << fields;
        }
        for (const AnnotationRecord &r : imported(db.path()))
            actual << QStringLiteral("%1|%2|%3|%4")
                          .arg(r.created)
                          .arg(r.highlightText, r.noteText)
                          .arg(r.color);
        QCOMPARE(actual, expected);
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
                "(NULL, 101, ?)",
                {open, open, open, open});
        const auto records = imported(path);
        QCOMPARE(records.size(), size_t(2)); // item 2: a NULL State is not 0
        QCOMPARE(records[0].color, int(color_none));
        QCOMPARE(records[1].oid, 3);
        QCOMPARE(records[1].timeAlt, int64_t(0));
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
        std::vector<AnnotationRecord> records;
        QVERIFY(!importAnnotations(records, path));
        db.exec(QStringLiteral("COMMIT"));
        QCOMPARE(imported(path).size(), size_t(2));
    }

    void import_wal_readsLogAndChangesNothing_data()
    {
        QTest::addColumn<QString>("blocker"); // what keeps SQLite from making "-shm"
        QTest::addColumn<bool>("withWal");
        // A mirror copies books.db and "-wal", never "-shm".
        QTest::newRow("copy without -shm") << QString() << true;
        QTest::newRow("-shm cannot be opened") << QStringLiteral("dangling -shm") << true;
        QTest::newRow("read-only folder") << QStringLiteral("read-only") << true;
        QTest::newRow("read-only folder, no -wal") << QStringLiteral("read-only") << false;
    }

    void import_wal_readsLogAndChangesNothing()
    {
        QFETCH(QString, blocker);
        QFETCH(bool, withWal);
        const bool readOnly = blocker == QLatin1String("read-only");
        if (readOnly && ::geteuid() == 0)
            QSKIP("root writes into read-only folders");
        // Three annotations, the last two only in "-wal" while the writer is open. The copy
        // gets the database and its log as they stood then, or without `withWal` the
        // database after the writer's closing checkpoint.
        const fs::path path = newDbPath(), copy = newDbPath(), folder = copy.parent_path();
        fs::create_directories(folder);
        {
            BooksDb db(path);
            const int64_t book = db.addBook("A Book", "An Author");
            db.addAnnotation(book);
            db.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
            db.exec(QStringLiteral("PRAGMA wal_autocheckpoint=0"));
            db.addAnnotation(book);
            db.addAnnotation(book);
            if (withWal) {
                fs::copy_file(path, copy);
                fs::copy_file(path.string() + "-wal", copy.string() + "-wal");
            }
        }
        if (!withWal)
            fs::copy_file(path, copy);
        if (blocker == QLatin1String("dangling -shm"))
            fs::create_symlink("/nonexistent/books.db-shm", copy.string() + "-shm");
        const QStringList entries = testhelpers::folderEntries(folder);
        const QByteArray bytes =
            testenv::readFile(copy) + testenv::readFile(copy.string() + "-wal");
        const testhelpers::PermissionRestorer restorer(folder);
        if (readOnly)
            QCOMPARE(::chmod(folder.c_str(), 0555), 0);
        QCOMPARE(imported(copy).size(), size_t(3));
        QCOMPARE(testenv::readFile(copy) + testenv::readFile(copy.string() + "-wal"), bytes);
        if (!blocker.isEmpty())
            QCOMPARE(testhelpers::folderEntries(folder), entries);
    }
};

QTEST_GUILESS_MAIN(tst_annotationimport)
#include "tst_annotationimport.moc"
