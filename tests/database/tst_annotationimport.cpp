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

// An anchor of one variant per part: the device's form or a near miss. Numbers come with a
// sign or none, up to the largest int, sometimes without digits or followed by a letter.
QString randomAnchor(QRandomGenerator &random)
{
    static const QStringList parts[] = {
        {"pbr:/", "pbr:/", "PBR:/"},
        QStringLiteral("word|ab|words|\u00f6\u00f6|ab\u20ac|\U0001F600| \tword|wor |").split('|')
            << QString(QChar(0xd800)) + "w", // an unpaired surrogate is '?' in UTF-8
        {"?page=", "?page= ", "?Page=", "page="},
        {"&offs=", "&offs=\n", "&off="},
        QStringLiteral("#x|##epubcfi(/6/4)|#|# \t|x#y|").split('|')
            << QString::fromLatin1("#\0x", 3),
        {QString(), "-", "+", "00"}};
    const auto number = [&random]() {
        const qint64 value = random.bounded(4) == 0 ? qint64(random.generate() % (1u << 31))
                                                    : random.bounded(100000);
        return random.bounded(10) == 0 ? QString()
                                       : pick(random, parts[5]) + QString::number(value) +
                                             (random.bounded(12) == 0 ? "x" : "");
    };
    return pick(random, parts[0]) + pick(random, parts[1]) + pick(random, parts[2]) + number() +
           pick(random, parts[3]) + number() + pick(random, parts[4]);
}

// A JSON text made of members the import reads and others, perhaps cut short.
QString randomJson(QRandomGenerator &random)
{
    static const QStringList names{"\"text\"", "\"created\"", "\"t\\u0065xt\"", "\"a\""};
    static const QStringList values =
        QStringLiteral("1535639951 -0 1.5e9 12. -.5 01 1e400 1e-400 4e-324 9223372036854775807 "
                       "9223372036854775808 1535639951.9 true null [1,{\"created\":9}] {} "
                       "\"x\" \"a\\\"\\\\\\/\\b\\n\\u00e9\" \"\\ud83d\\ude00\\ude00\" \"\\u12\"")
            .split(QLatin1Char(' '));
    static const QStringList blanks{QString(), " ", "\n\t", "\v", QString(QChar(0xfeff))};
    QString json = pick(random, blanks) + QLatin1Char('{');
    const int members = random.bounded(4);
    for (int i = 0; i < members; ++i) {
        json += i == 0 ? QString() : random.bounded(20) == 0 ? QStringLiteral(" ") : ",";
        json += pick(random, names) + pick(random, blanks) + ':' + pick(random, values) +
                pick(random, blanks);
    }
    json += random.bounded(20) == 0 ? QStringLiteral(",}") : QStringLiteral("}");
    return random.bounded(8) == 0 ? json.left(random.bounded(json.size())) : json;
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
    void anchorPosition_namedRows_thenSeededEqualsSscanf()
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
        QRandomGenerator random(20240610);
        for (int i = 0; i < 20000; ++i) {
            const QString anchor = randomAnchor(random);
            QVERIFY2(parsePbrAnchor(anchor) == sscanfAnchor(anchor), qPrintable(anchor));
        }
    }

    void jsonMembers_namedThenSeededTexts_equalQJsonDocument()
    {
        // The last of duplicate names, nesting, the depth limit, 64-bit ends, no object.
        const QString deepest = QString(1023, '[') + QString(1023, ']');
        const QStringList named{"{\"text\":\"a\",\"created\":1,\"text\":\"b\",\"created\":2}",
                                "{\"a\":{\"text\":\"in\",\"created\":9},\"text\":\"out\"}",
                                "{\"text\":\"x\",\"a\":" + deepest + '}',
                                "{\"text\":\"x\",\"a\":[" + deepest + "]}",
                                "{\"created\":-9223372036854775809}",
                                "[{\"text\":\"x\"}]"};
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
        // Every field, with a highlight of five megabytes that must come back whole and the
        // device's spelling of cyan.
        const QString unit = QStringLiteral("\u00c4 text\u2029\U0001F600 \"q\" \\");
        const QString text = unit.repeated(5 * 1024 * 1024 / unit.toUtf8().size() + 1);
        fixture::AnnotationSpec item{
            "note", 4, 17, 1535639951, text.toStdString(), "\u0416 \U0001F4DA\n\ttab", "cian"};
        item.timeAlt = 1600000000;
        item.extraTags = {{103, "{\"text\":\"103\"}"}, {107, "red"}, {16, "An Author"}};
        const int64_t oid = db.addAnnotation(second, item);
        for (const char *kind : {"bookmark", "Bookmark"}) // only the exact lower case is one
            db.addAnnotation(second, {kind, 1, 2, 1535639951, "Bookmark", "n"});
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
        QCOMPARE(records.size(), size_t(4));
        QVERIFY(records[0].oid == 7 && records[0].color == color_red);
        const AnnotationRecord &r = records[1];
        QVERIFY(r.parentId == second && r.oid == oid && r.positionKey == 40017);
        QVERIFY(r.created == 1535639951 && r.timeAlt == 1600000000 && r.color == color_cyan);
        QCOMPARE(r.kind, QStringLiteral("note"));
        QVERIFY(r.highlightText == text);
        QCOMPARE(r.noteText, QString::fromStdString(item.note));
        QVERIFY(records[2].isBookmark && !records[3].isBookmark);
    }

    void import_malformedTagValues()
    {
        BooksDb db(newDbPath());
        const int64_t book = db.addBook("A Book", "An Author");
        // Created, highlight, note and colour.
        const std::tuple<int, QVariant, QString> rows[] = {
            {101, QVariant("{x"), "0|Highlighted|note|1"},
            {104, QVariant("{\"text\":42}"), "1535639951||note|1"},
            {105, QVariant(QByteArray("{\"text\":\"b\"}")), "1535639951|Highlighted|b|1"},
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

    void import_walCopy_readsLogAndChangesNothing_data()
    {
        QTest::addColumn<QString>("blocker"); // what keeps SQLite from making "-shm"
        QTest::newRow("copy without -shm") << QString();
        QTest::newRow("-shm cannot be opened") << QStringLiteral("dangling -shm");
        QTest::newRow("read-only folder") << QStringLiteral("read-only");
    }

    void import_walCopy_readsLogAndChangesNothing()
    {
        QFETCH(QString, blocker);
        const bool readOnly = blocker == QLatin1String("read-only");
        if (readOnly && ::geteuid() == 0)
            QSKIP("root writes into read-only folders");
        // Three annotations, the last two only in "-wal" while the writer is open. A mirror
        // copies books.db and "-wal" as they stood then, never "-shm".
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
            fs::copy_file(path, copy);
            fs::copy_file(path.string() + "-wal", copy.string() + "-wal");
        }
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
        if (!blocker.isEmpty()) // the private copy leaves nothing beside the database
            QCOMPARE(testhelpers::folderEntries(folder), entries);
    }
};

QTEST_GUILESS_MAIN(tst_annotationimport)
#include "tst_annotationimport.moc"
