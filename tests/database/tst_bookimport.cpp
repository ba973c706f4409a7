#include "database/bookimport.h"

#include "database/annotationimport.h"
#include "readerfixture/readerfixture.h"
#include "support/testhelpers.h"

#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QTest>

namespace fs = std::filesystem;
using testhelpers::BrokenDb;

using BookMap = std::map<int32_t, BookInfo>;

Q_DECLARE_METATYPE(BrokenDb)

class tst_bookimport : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    int m_count = 0;

    fs::path path(const char *name)
    {
        return fs::path(m_dir.path().toStdString()) / std::to_string(++m_count) / name;
    }

private slots:
    void cleanup()
    {
        // Every reader closes and removes its named connection.
        QVERIFY(QSqlDatabase::connectionNames().isEmpty());
    }

    void importBooks_titlesAuthorsAndSortIndex()
    {
        fixture::BooksDb db(path("books.db")); // items 1 to 6
        for (const char *title :
             {"DUNE", "dune", "", "\u0412\u043e\u0439\u043d\u0430", "Arrakis", "Dune Messiah"})
            db.addBook(title, "Author");
        db.addBook("Deleted", "B"); // 7
        db.exec(QStringLiteral("UPDATE Items SET State = 2 WHERE OID = 7"));
        fixture::AnnotationSpec annotation; // 8: its author and title tags make no book
        annotation.extraTags = {{16, "Not an author"}, {34, "Not a title"}, {17, "x"}};
        db.addAnnotation(1, annotation);
        for (const int tag : {1, 17, 46, 50, 51, 52, 101}) // 9 to 15
            db.setTag(db.addBook("", ""), tag, "value");

        BookMap books{{999, BookInfo{}}};
        QVERIFY(importBooks(books, db.path()));
        QStringList found; // OID, title (- when null), author, sort index
        for (const auto &[oid, book] : books)
            found << QStringLiteral("%1 %2/%3 %4")
                         .arg(oid)
                         .arg(book.title.isNull() ? QStringLiteral("-") : book.title, book.author)
                         .arg(book.titleSortIndex);
        // Non-ASCII first, case-equal titles by OID, untitled books keep 0 and take no place;
        // tags 17, 46 and 51 make a book known without filling a field.
        QCOMPARE(found,
                 (QStringList{"1 DUNE/Author 2", "2 dune/Author 3", "3 -/Author 0",
                              "4 \u0412\u043e\u0439\u043d\u0430/Author 0", "5 Arrakis/Author 1",
                              "6 Dune Messiah/Author 4", "10 -/ 0", "11 -/ 0", "13 -/ 0"}));
    }

    void readExplorerBooks_everyFieldNullsAndProfileMap()
    {
        fixture::ExplorerDb db(path("explorer-3.db"));
        const int64_t bookId = db.addBook(
            {"Title", "Author", "file.fb2", "fb2", 123456, 1600000001, "abcdef", "/mnt"});
        db.addProgress(bookId, {4, "pbr:/word?page=7&offs=3", 1600000002, 7, 321, 1600000003, 1,
                                1600000004, 1, 1600000005, "custom text"});
        for (const int away : {1, 3})
            db.addProgress(bookId, {away, "mapped away"});
        db.addBook({"Never opened", "Nobody"});
        // A book of NULLs: one row without profile (left out) and one of profile 2.
        db.exec(QStringLiteral("INSERT INTO files (book_id) VALUES (5)"));
        db.exec(QStringLiteral("INSERT INTO books_settings (bookid) VALUES (5)"));
        db.exec(QStringLiteral("INSERT INTO books_settings (bookid, profileid) VALUES (5, 2)"));
        // Profiles 1 and 3 are mapped away, 2 to 20, unlisted 4 keeps its id.
        const ProfileMap map{{2, 20}, {3, -1}, {1, -1}};
        std::vector<ExplorerBook> books(3);
        QVERIFY(readExplorerBooks(db.path(), books, false, map));
        QCOMPARE(books.size(), size_t(3));
        const ExplorerBook &book = books.front();
        QVERIFY(book.bookId == bookId && book.size == 123456 && book.progress.size() == 1);
        QVERIFY(book.fastHash == "abcdef" && book.ext == "fb2");
        const ProfileProgress &p = book.progress.front();
        QVERIFY(p.position == "pbr:/word?page=7&offs=3" && p.custom == "custom text");
        QVERIFY(p.modificationTime == 1600000001 && p.positionTs == 1600000002 && p.npage == 321);
        QVERIFY(p.openTime == 1600000003 && p.completedTs == 1600000004 &&
                p.favoriteTs == 1600000005 && p.completed && p.mappedProfileId == 4);
        QVERIFY(books[1].progress.empty()); // never opened, still listed
        QCOMPARE(books[2].progress.size(), size_t(1));
        QVERIFY(books[2].progress[0].mappedProfileId == 20 && !books[2].progress[0].completed);
        // A destination ignores the map.
        QVERIFY(readExplorerBooks(db.path(), books, true, map));
        QVector<int> found;
        for (const ProfileProgress &progress : books[0].progress)
            found << progress.profileId << progress.mappedProfileId << progress.isDestination;
        QCOMPARE(found, (QVector<int>{1, 1, 1, 3, 3, 1, 4, 4, 1}));
    }

    // Every reader of a books.db or an explorer database fails on the same broken files.
    void badInput_falseAndEmpty_data()
    {
        QTest::addColumn<bool>("explorer");
        QTest::addColumn<BrokenDb>("kind");
        QTest::addColumn<QString>("damage"); // on a good database: SQL run on it
        QTest::newRow("books missing") << false << BrokenDb::Missing << QString();
        QTest::newRow("books not SQLite") << false << BrokenDb::NotSqlite << QString();
        QTest::newRow("books truncated") << false << BrokenDb::Truncated << QString();
        QTest::newRow("books damaged last page") << false << BrokenDb::DamagedPage << QString();
        // abs() of the smallest 64-bit integer is a run-time error in SQLite: Val reads fine
        // for items 1 and 2 and fails from 3 on, as a damaged page halfway through would.
        QTest::newRow("books read error on a later row")
            << false << BrokenDb::Missing
            << QStringLiteral("ALTER TABLE Tags RENAME TO TagRows;CREATE VIEW Tags AS SELECT "
                              "ItemID, TagID, CASE WHEN abs(-9223372036854775807 - (ItemID > 2)) "
                              "> 0 THEN Val END AS Val FROM TagRows");
        QTest::newRow("explorer missing column")
            << true << BrokenDb::Missing
            << QStringLiteral("ALTER TABLE files RENAME COLUMN fast_hash TO hash");
    }

    void badInput_falseAndEmpty()
    {
        QFETCH(bool, explorer);
        QFETCH(BrokenDb, kind);
        QFETCH(QString, damage);
        const fs::path file = path(explorer ? "explorer-3.db" : "books.db");
        if (damage.isEmpty()) {
            testhelpers::writeBrokenDatabase(file, kind);
        } else if (explorer) {
            fixture::ExplorerDb(file).addBook();
        } else {
            fixture::BooksDb db(file); // books and annotations take turns: items 1, 2, 3, 4
            for (int i = 0; i < 2; ++i)
                db.addAnnotation(db.addBook("A Book", "An Author"));
        }
        for (const QString &statement : damage.split(QLatin1Char(';'), Qt::SkipEmptyParts))
            fixture::SqliteFile(file).exec(statement);
        if (explorer) {
            std::vector<ExplorerBook> books(2);
            QVERIFY(!readExplorerBooks(file, books, false, {{1, -1}}));
            QVERIFY(books.empty());
        } else {
            BookMap books{{1, BookInfo{}}};
            // The damaged page holds highlights only: the books read in full.
            QCOMPARE(importBooks(books, file), kind == BrokenDb::DamagedPage);
            QCOMPARE(books.empty(), kind != BrokenDb::DamagedPage);
            std::vector<AnnotationRecord> annotations(2);
            QVERIFY(!importAnnotations(annotations, file));
            QVERIFY(annotations.empty());
        }
        // The read-only opens create nothing.
        QCOMPARE(fs::exists(file), kind != BrokenDb::Missing || !damage.isEmpty());
    }
};

QTEST_GUILESS_MAIN(tst_bookimport)
#include "tst_bookimport.moc"
