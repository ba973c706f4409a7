#include "database/bookimport.h"

#include "core/textconv.h"
#include "readerfixture/readerfixture.h"
#include "support/testenv.h"

#include <QRegularExpression>
#include <QSqlDatabase>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <vector>

namespace fs = std::filesystem;

namespace {

using BookMap = std::map<int32_t, BookInfo>;

enum class BadInput { Missing, NotSqlite, Truncated, NoTables, MissingColumn, ErrorMidRead };

} // namespace

Q_DECLARE_METATYPE(BadInput)

namespace {

const char booksConnection[] = "annotationsimporter";
const char explorerConnection[] = "testconnection";

// abs() of the smallest 64-bit integer is a run-time error in SQLite: the column reads fine
// for the first book and fails from the second on, as a damaged page halfway through would.
QString failsAfterFirstBook(const QString &idColumn, const QString &column)
{
    return QStringLiteral("CASE WHEN abs(-9223372036854775807 - (%1 > 1)) > 0 THEN %2 END AS %2")
        .arg(idColumn, column);
}

QByteArray swapAsciiCase(QByteArray bytes)
{
    for (char &c : bytes) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        else if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return bytes;
}

void expectWarning(const char *pattern)
{
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QString::fromLatin1(pattern)));
}

void addBadInputRows()
{
    QTest::addColumn<BadInput>("input");
    QTest::addColumn<bool>("openFails");
    QTest::newRow("missing file") << BadInput::Missing << true;
    QTest::newRow("not SQLite") << BadInput::NotSqlite << false;
    QTest::newRow("truncated") << BadInput::Truncated << false;
    QTest::newRow("no tables") << BadInput::NoTables << false;
    QTest::newRow("missing column") << BadInput::MissingColumn << false;
    QTest::newRow("read error on a later row") << BadInput::ErrorMidRead << false;
}

// The shapes of a bad file that do not depend on the schema; false when `input` needs one.
bool writeGenericBadInput(BadInput input, const fs::path &path)
{
    switch (input) {
    case BadInput::Missing:
        return true;
    case BadInput::NotSqlite:
        if (!testenv::writeFile(path, QByteArray("no database here\n").repeated(256)))
            throw std::runtime_error("cannot write the test file");
        return true;
    case BadInput::NoTables: {
        fixture::SqliteFile other(path);
        other.exec(QStringLiteral("CREATE TABLE unrelated (x INTEGER)"));
        return true;
    }
    default:
        return false;
    }
}

} // namespace

class tst_bookimport : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void titleLessThan_foldedSignedBytes_data();
    void titleLessThan_foldedSignedBytes();
    void importBooks_titleSortIndex_data();
    void importBooks_titleSortIndex();

    void importBooks_authorAndTitle_readAndLogged();
    void importBooks_singleTag_recordOnlyForBookTags_data();
    void importBooks_singleTag_recordOnlyForBookTags();
    void importBooks_deletedBook_skipped();
    void importBooks_annotationItems_notBooks();
    void importBooks_nullValues_readEmpty();

    void readExplorerBooks_everyField_fromItsColumn();
    void readExplorerBooks_severalProfiles_oneBookInProfileOrder();
    void readExplorerBooks_neverOpenedBook_keptWithEmptyProgress_data();
    void readExplorerBooks_neverOpenedBook_keptWithEmptyProgress();
    void readExplorerBooks_twoProfilesMappedAway_neitherAppears();
    void readExplorerBooks_destination_ignoresMap();
    void readExplorerBooks_mappedIds_unlistedIdKept();
    void readExplorerBooks_nullValues_readAsZero();

    void importBooks_badInput_falseAndEmpty_data();
    void importBooks_badInput_falseAndEmpty();
    void readExplorerBooks_badInput_falseAndEmpty_data();
    void readExplorerBooks_badInput_falseAndEmpty();
    void imports_lockedDatabase_giveUpWithError();

private:
    fs::path path(const char *name) const
    {
        return toPath(m_dir->filePath(QString::fromLatin1(name)));
    }
    fs::path explorerWithOneBookReadByThree(int64_t *readBook = nullptr, int64_t *unread = nullptr);

    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_bookimport::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void tst_bookimport::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

// Book 1 read by profiles 3, 1 and 2 (added in that order, cpage 30, 10, 20); book 2 never opened.
fs::path tst_bookimport::explorerWithOneBookReadByThree(int64_t *readBook, int64_t *unread)
{
    const fs::path file = path("explorer-3.db");
    fixture::ExplorerDb db(file);
    const int64_t read = db.addBook({"Read", "Reader"});
    for (const int profile : {3, 1, 2}) {
        fixture::ProgressSpec progress;
        progress.profileId = profile;
        progress.cpage = profile * 10;
        db.addProgress(read, progress);
    }
    const int64_t never = db.addBook({"Never opened", "Nobody"});
    if (readBook)
        *readBook = read;
    if (unread)
        *unread = never;
    return file;
}

void tst_bookimport::titleLessThan_foldedSignedBytes_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second"); // first orders strictly before second

    QTest::newRow("later letter, other case") << QStringLiteral("alpha") << QStringLiteral("Zeta");
    QTest::newRow("folded before punctuation") << QStringLiteral("[x") << QStringLiteral("Zeta");
    QTest::newRow("underscore before folded A") << QStringLiteral("_x") << QStringLiteral("Ax");
    QTest::newRow("prefix") << QStringLiteral("Dune") << QStringLiteral("dune messiah");
    QTest::newRow("empty first") << QString() << QStringLiteral("a");
    QTest::newRow("Cyrillic before tilde") << QStringLiteral("Яблоко") << QStringLiteral("~");
    QTest::newRow("CJK before digit") << QStringLiteral("三体") << QStringLiteral("1984");
    QTest::newRow("emoji before space") << QStringLiteral("😀") << QStringLiteral(" ");
    QTest::newRow("Cyrillic before CJK") << QStringLiteral("Анна") << QStringLiteral("三体");
    QTest::newRow("CJK before emoji") << QStringLiteral("三体") << QStringLiteral("😀");
    QTest::newRow("non-ASCII not folded") << QStringLiteral("É") << QStringLiteral("é");
}

void tst_bookimport::titleLessThan_foldedSignedBytes()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    QVERIFY(titleLessThan(first.toUtf8(), second.toUtf8()));
    QVERIFY(!titleLessThan(second.toUtf8(), first.toUtf8()));
    // Only ASCII letters fold: the title with them swapped in case is an equal title.
    const QByteArray swapped = swapAsciiCase(first.toUtf8());
    QVERIFY(!titleLessThan(first.toUtf8(), swapped));
    QVERIFY(!titleLessThan(swapped, first.toUtf8()));
}

void tst_bookimport::importBooks_titleSortIndex_data()
{
    QTest::addColumn<QStringList>("titles"); // in OID order; empty: the book has no title tag
    QTest::addColumn<QVector<int>>("indexes");

    QTest::newRow("apple Banana cherry")
        << QStringList{QStringLiteral("cherry"), QStringLiteral("apple"), QStringLiteral("Banana")}
        << QVector<int>{2, 0, 1};
    QTest::newRow("non-ASCII first")
        << QStringList{QStringLiteral("Zeta"), QStringLiteral("Война и мир"),
                       QStringLiteral("alpha"), QStringLiteral("三体"), QStringLiteral("😀 Smile")}
        << QVector<int>{4, 0, 3, 1, 2};
    QTest::newRow("prefix first") << QStringList{QStringLiteral("Dune Messiah"),
                                                 QStringLiteral("Dune"),
                                                 QStringLiteral("dune messiah II")}
                                  << QVector<int>{1, 0, 2};
    QTest::newRow("case-equal titles by OID")
        << QStringList{QStringLiteral("DUNE"), QStringLiteral("dune"), QStringLiteral("Dune"),
                       QStringLiteral("Arrakis")}
        << QVector<int>{1, 2, 3, 0};
    QTest::newRow("untitled keep 0 and take no place")
        << QStringList{QString(), QStringLiteral("beta"), QString(), QStringLiteral("alpha")}
        << QVector<int>{0, 1, 0, 0};
}

void tst_bookimport::importBooks_titleSortIndex()
{
    QFETCH(QStringList, titles);
    QFETCH(QVector<int>, indexes);

    fixture::BooksDb db(path("books.db"));
    std::vector<int64_t> oids;
    for (const QString &title : titles)
        oids.push_back(db.addBook(title.toStdString(), "Author"));

    BookMap books;
    QVERIFY(importBooks(books, db.path()));
    QCOMPARE(books.size(), oids.size());
    for (int i = 0; i < titles.size(); ++i) {
        const BookInfo &book = books.at(static_cast<int32_t>(oids[i]));
        QCOMPARE(book.title, titles[i]);
        QCOMPARE(book.titleSortIndex, indexes[i]);
    }
}

void tst_bookimport::importBooks_authorAndTitle_readAndLogged()
{
    fixture::BooksDb db(path("books.db"));
    const int64_t first = db.addBook("Ulysses", "James Joyce");
    const int64_t second = db.addBook("", "Anonymous");

    QTest::ignoreMessage(QtDebugMsg, ("Using DB: " + db.path().string()).c_str());
    QTest::ignoreMessage(QtDebugMsg, "Start book processing");
    QTest::ignoreMessage(QtDebugMsg, "Creating sorting help");
    QTest::ignoreMessage(QtDebugMsg, "End book processing");
    QTest::ignoreMessage(QtDebugMsg, "Books count: 2");
    BookMap books{{999, BookInfo{999, 5, QStringLiteral("stale"), QString()}}};
    QVERIFY(importBooks(books, db.path()));
    QVERIFY(!QSqlDatabase::contains(QString::fromLatin1(booksConnection)));

    QCOMPARE(books.size(), size_t(2));
    const BookInfo &ulysses = books.at(static_cast<int32_t>(first));
    QCOMPARE(ulysses.oid, first);
    QCOMPARE(ulysses.title, QStringLiteral("Ulysses"));
    QCOMPARE(ulysses.author, QStringLiteral("James Joyce"));
    const BookInfo &untitled = books.at(static_cast<int32_t>(second));
    QCOMPARE(untitled.title, QString());
    QCOMPARE(untitled.author, QStringLiteral("Anonymous"));
}

void tst_bookimport::importBooks_singleTag_recordOnlyForBookTags_data()
{
    QTest::addColumn<int>("tag");
    QTest::addColumn<bool>("record");
    // 17, 46 and 51 make a book known without filling a field; other tags do not.
    for (const int tag : {17, 46, 51})
        QTest::addRow("tag %d", tag) << tag << true;
    for (const int tag : {1, 21, 35, 50, 52, 101})
        QTest::addRow("tag %d", tag) << tag << false;
}

void tst_bookimport::importBooks_singleTag_recordOnlyForBookTags()
{
    QFETCH(int, tag);
    QFETCH(bool, record);
    fixture::BooksDb db(path("books.db"));
    const int64_t oid = db.addBook("", "");
    db.setTag(oid, tag, "value");

    BookMap books;
    QVERIFY(importBooks(books, db.path()));
    QCOMPARE(books.size(), size_t(record ? 1 : 0));
    if (!record)
        return;
    const BookInfo &book = books.at(static_cast<int32_t>(oid));
    QCOMPARE(book.oid, oid);
    QCOMPARE(book.title, QString());
    QCOMPARE(book.author, QString());
    QCOMPARE(book.titleSortIndex, 0);
}

void tst_bookimport::importBooks_deletedBook_skipped()
{
    fixture::BooksDb db(path("books.db"));
    const int64_t kept = db.addBook("Kept", "A");
    const int64_t deleted = db.addBook("Deleted", "B");
    db.exec(QStringLiteral("UPDATE Items SET State = 2 WHERE OID = ?"), {qlonglong(deleted)});

    BookMap books;
    QVERIFY(importBooks(books, db.path()));
    QCOMPARE(books.size(), size_t(1));
    QCOMPARE(books.begin()->first, kept);
    QCOMPARE(books.begin()->second.titleSortIndex, 0);
}

void tst_bookimport::importBooks_annotationItems_notBooks()
{
    fixture::BooksDb db(path("books.db"));
    const int64_t book = db.addBook("The Book", "Author");
    fixture::AnnotationSpec annotation;
    annotation.extraTags = {{16, "Not an author"}, {34, "Not a title"}, {17, "x"}};
    db.addAnnotation(book, annotation);

    BookMap books;
    QVERIFY(importBooks(books, db.path()));
    QCOMPARE(books.size(), size_t(1));
    QCOMPARE(books.at(static_cast<int32_t>(book)).title, QStringLiteral("The Book"));
}

void tst_bookimport::importBooks_nullValues_readEmpty()
{
    fixture::BooksDb db(path("books.db"));
    const int64_t oid = db.addBook("Title", "Author");
    db.exec(QStringLiteral("UPDATE Tags SET Val = NULL"));

    BookMap books;
    QVERIFY(importBooks(books, db.path()));
    QCOMPARE(books.size(), size_t(1));
    QCOMPARE(books.at(static_cast<int32_t>(oid)).title, QString());
    QCOMPARE(books.at(static_cast<int32_t>(oid)).author, QString());
}

void tst_bookimport::readExplorerBooks_everyField_fromItsColumn()
{
    fixture::ExplorerDb db(path("explorer-3.db"));
    const int64_t bookId =
        db.addBook({"Title", "Author", "file.fb2", "fb2", 123456, 1600000001, "abcdef", "/mnt"});
    db.addProgress(bookId, {4, "pbr:/word?page=7&offs=3", 1600000002, 7, 321, 1600000003, 1,
                            1600000004, 1, 1600000005, "custom text"});

    std::vector<ExplorerBook> books(3);
    QVERIFY(readExplorerBooks(db.path(), books, false, {}));
    QVERIFY(!QSqlDatabase::contains(QString::fromLatin1(explorerConnection)));
    QCOMPARE(books.size(), size_t(1));
    const ExplorerBook &book = books.front();
    QCOMPARE(book.bookId, bookId);
    QCOMPARE(book.fastHash, QStringLiteral("abcdef"));
    QCOMPARE(book.title, QStringLiteral("Title"));
    QCOMPARE(book.author, QStringLiteral("Author"));
    QCOMPARE(book.ext, QStringLiteral("fb2"));
    QCOMPARE(book.size, uint64_t(123456));
    QCOMPARE(book.progress.size(), size_t(1));
    const ProfileProgress &progress = book.progress.front();
    QCOMPARE(progress.isDestination, false);
    QCOMPARE(progress.profileId, 4);
    QCOMPARE(progress.mappedProfileId, 4);
    QCOMPARE(progress.modificationTime, 1600000001);
    QCOMPARE(progress.position, QStringLiteral("pbr:/word?page=7&offs=3"));
    QCOMPARE(progress.positionTs, 1600000002);
    QCOMPARE(progress.cpage, 7);
    QCOMPARE(progress.npage, 321);
    QCOMPARE(progress.openTime, 1600000003);
    QCOMPARE(progress.completed, true);
    QCOMPARE(progress.completedTs, 1600000004);
    QCOMPARE(progress.favorite, 1);
    QCOMPARE(progress.favoriteTs, 1600000005);
    QCOMPARE(progress.custom, QStringLiteral("custom text"));
    QCOMPARE(progress.size, uint64_t(123456));
}

void tst_bookimport::readExplorerBooks_severalProfiles_oneBookInProfileOrder()
{
    int64_t readBook = 0;
    const fs::path file = explorerWithOneBookReadByThree(&readBook);

    std::vector<ExplorerBook> books;
    QVERIFY(readExplorerBooks(file, books, false, {}));
    QCOMPARE(books.size(), size_t(2));
    QCOMPARE(books[0].bookId, readBook);
    QCOMPARE(books[0].progress.size(), size_t(3));
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(books[0].progress[i].profileId, i + 1);
        QCOMPARE(books[0].progress[i].mappedProfileId, i + 1);
        QCOMPARE(books[0].progress[i].cpage, (i + 1) * 10);
    }
}

void tst_bookimport::readExplorerBooks_neverOpenedBook_keptWithEmptyProgress_data()
{
    QTest::addColumn<bool>("isDestination");
    QTest::addColumn<ProfileMap>("map");
    QTest::newRow("no map") << false << ProfileMap{};
    QTest::newRow("map excluding a profile") << false << ProfileMap{{1, 1}, {2, -1}, {3, 3}};
    QTest::newRow("destination") << true << ProfileMap{{1, -1}};
}

void tst_bookimport::readExplorerBooks_neverOpenedBook_keptWithEmptyProgress()
{
    QFETCH(bool, isDestination);
    QFETCH(ProfileMap, map);
    int64_t unread = 0;
    const fs::path file = explorerWithOneBookReadByThree(nullptr, &unread);

    std::vector<ExplorerBook> books;
    QVERIFY(readExplorerBooks(file, books, isDestination, map));
    QCOMPARE(books.size(), size_t(2));
    QCOMPARE(books[1].bookId, unread);
    QCOMPARE(books[1].title, QStringLiteral("Never opened"));
    QVERIFY(books[1].progress.empty());
}

void tst_bookimport::readExplorerBooks_twoProfilesMappedAway_neitherAppears()
{
    const fs::path file = explorerWithOneBookReadByThree();

    QTest::ignoreMessage(QtInfoMsg, ("Using dbpath: " + file.string()).c_str());
    QTest::ignoreMessage(QtDebugMsg, "Excluded profiles: 1,2");
    QTest::ignoreMessage(QtDebugMsg, "Rows found: 2");
    QTest::ignoreMessage(QtInfoMsg, "DB rows, read entries count: 2 2");
    std::vector<ExplorerBook> books;
    QVERIFY(readExplorerBooks(file, books, false, {{1, -1}, {3, 7}, {2, -1}}));
    QCOMPARE(books.size(), size_t(2));
    QCOMPARE(books[0].progress.size(), size_t(1));
    QCOMPARE(books[0].progress[0].profileId, 3);
    QCOMPARE(books[0].progress[0].mappedProfileId, 7);
    QVERIFY(books[1].progress.empty());
}

void tst_bookimport::readExplorerBooks_destination_ignoresMap()
{
    const fs::path file = explorerWithOneBookReadByThree();

    std::vector<ExplorerBook> books;
    QVERIFY(readExplorerBooks(file, books, true, {{1, -1}, {2, -1}, {3, 7}}));
    QCOMPARE(books.size(), size_t(2));
    QCOMPARE(books[0].progress.size(), size_t(3));
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(books[0].progress[i].isDestination, true);
        QCOMPARE(books[0].progress[i].profileId, i + 1);
        QCOMPARE(books[0].progress[i].mappedProfileId, i + 1);
    }
}

void tst_bookimport::readExplorerBooks_mappedIds_unlistedIdKept()
{
    const fs::path file = explorerWithOneBookReadByThree();

    std::vector<ExplorerBook> books;
    QVERIFY(readExplorerBooks(file, books, false, {{2, 20}, {1, 10}}));
    QCOMPARE(books[0].progress.size(), size_t(3));
    const std::vector<std::pair<int, int>> expected{{1, 10}, {2, 20}, {3, 3}};
    for (size_t i = 0; i < expected.size(); ++i) {
        QCOMPARE(books[0].progress[i].isDestination, false);
        QCOMPARE(books[0].progress[i].profileId, expected[i].first);
        QCOMPARE(books[0].progress[i].mappedProfileId, expected[i].second);
    }
}

void tst_bookimport::readExplorerBooks_nullValues_readAsZero()
{
    fixture::ExplorerDb db(path("explorer-3.db"));
    db.exec(QStringLiteral("INSERT INTO files (book_id) VALUES (5)"));
    db.exec(QStringLiteral("INSERT INTO books_settings (bookid) VALUES (5)"));
    db.exec(QStringLiteral("INSERT INTO books_settings (bookid, profileid) VALUES (5, 2)"));

    std::vector<ExplorerBook> books;
    QVERIFY(readExplorerBooks(db.path(), books, false, {{2, 4}}));
    QCOMPARE(books.size(), size_t(1));
    QCOMPARE(books[0].bookId, 5);
    QCOMPARE(books[0].title, QString());
    QCOMPARE(books[0].fastHash, QString());
    QCOMPARE(books[0].size, uint64_t(0));
    QCOMPARE(books[0].progress.size(), size_t(1));
    const ProfileProgress &progress = books[0].progress[0];
    QCOMPARE(progress.profileId, 2);
    QCOMPARE(progress.mappedProfileId, 4);
    QCOMPARE(progress.position, QString());
    QCOMPARE(progress.cpage, 0);
    QCOMPARE(progress.completed, false);
    QCOMPARE(progress.completedTs, 0);
    QCOMPARE(progress.modificationTime, 0);
}

void tst_bookimport::importBooks_badInput_falseAndEmpty_data()
{
    addBadInputRows();
}

void tst_bookimport::importBooks_badInput_falseAndEmpty()
{
    QFETCH(BadInput, input);
    QFETCH(bool, openFails);
    const fs::path file = path("books.db");
    if (!writeGenericBadInput(input, file)) {
        fixture::BooksDb db(file);
        db.transaction([&db] {
            for (int i = 0; i < 300; ++i)
                db.addBook("A title long enough to fill pages " + std::to_string(i), "Author");
        });
        if (input == BadInput::MissingColumn) {
            db.exec(QStringLiteral("ALTER TABLE Items RENAME COLUMN State TO Status"));
        } else if (input == BadInput::ErrorMidRead) {
            db.exec(QStringLiteral("ALTER TABLE Tags RENAME TO TagRows"));
            db.exec(QStringLiteral("CREATE VIEW Tags AS SELECT ItemID, TagID, %1 FROM TagRows")
                        .arg(failsAfterFirstBook(QStringLiteral("ItemID"), QStringLiteral("Val"))));
        }
    }
    if (input == BadInput::Truncated)
        fs::resize_file(file, 8192);

    expectWarning(openFails ? "^ERROR: " : "^exec ERROR: ");
    BookMap books{{1, BookInfo{}}};
    QVERIFY(!importBooks(books, file));
    QVERIFY(books.empty());
    QVERIFY(!QSqlDatabase::contains(QString::fromLatin1(booksConnection)));
    if (input == BadInput::Missing)
        QVERIFY(!fs::exists(file));
}

void tst_bookimport::readExplorerBooks_badInput_falseAndEmpty_data()
{
    addBadInputRows();
}

void tst_bookimport::readExplorerBooks_badInput_falseAndEmpty()
{
    QFETCH(BadInput, input);
    QFETCH(bool, openFails);
    const fs::path file = path("explorer-3.db");
    if (!writeGenericBadInput(input, file)) {
        fixture::ExplorerDb db(file);
        db.transaction([&db] {
            for (int i = 0; i < 300; ++i)
                db.addProgress(
                    db.addBook({"A title long enough to fill pages " + std::to_string(i)}));
        });
        if (input == BadInput::MissingColumn) {
            db.exec(QStringLiteral("ALTER TABLE files RENAME COLUMN fast_hash TO hash"));
        } else if (input == BadInput::ErrorMidRead) {
            db.exec(QStringLiteral("ALTER TABLE books_settings RENAME TO settings_rows"));
            db.exec(
                QStringLiteral("CREATE VIEW books_settings AS SELECT bookid, profileid, "
                               "position, position_ts, cpage, npage, opentime, completed, "
                               "completed_ts, favorite, favorite_ts, %1 FROM settings_rows")
                    .arg(failsAfterFirstBook(QStringLiteral("bookid"), QStringLiteral("custom"))));
        }
    }
    if (input == BadInput::Truncated)
        fs::resize_file(file, 8192);

    expectWarning(openFails ? "^ERROR: " : "^Query exec ERROR: ");
    std::vector<ExplorerBook> books(2);
    QVERIFY(!readExplorerBooks(file, books, false, {{1, -1}}));
    QVERIFY(books.empty());
    QVERIFY(!QSqlDatabase::contains(QString::fromLatin1(explorerConnection)));
    if (input == BadInput::Missing)
        QVERIFY(!fs::exists(file));
}

void tst_bookimport::imports_lockedDatabase_giveUpWithError()
{
    // Another writer holds the file: the read waits for Qt's busy timeout, then fails.
    fixture::BooksDb booksDb(path("books.db"));
    booksDb.addBook("Title", "Author");
    fixture::ExplorerDb explorerDb(path("explorer-3.db"));
    explorerDb.addBook();
    booksDb.exec(QStringLiteral("BEGIN EXCLUSIVE"));
    explorerDb.exec(QStringLiteral("BEGIN EXCLUSIVE"));

    expectWarning("^exec ERROR: database is locked");
    BookMap books;
    QVERIFY(!importBooks(books, booksDb.path()));
    QVERIFY(books.empty());

    expectWarning("^Query exec ERROR: database is locked");
    std::vector<ExplorerBook> explorerBooks;
    QVERIFY(!readExplorerBooks(explorerDb.path(), explorerBooks, false, {}));
    QVERIFY(explorerBooks.empty());

    booksDb.exec(QStringLiteral("ROLLBACK"));
    explorerDb.exec(QStringLiteral("ROLLBACK"));
}

QTEST_GUILESS_MAIN(tst_bookimport)
#include "tst_bookimport.moc"
