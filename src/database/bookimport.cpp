#include "database/bookimport.h"

#include "core/textconv.h"
#include "database/readonlydb.h"

#include <QDebug>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <algorithm>
#include <cstddef>
#include <utility>

namespace fs = std::filesystem;

namespace {

using TitleList = std::vector<std::pair<QByteArray, int32_t>>;

// The runs of nine blanks are part of the statement as the program has always sent it.
const char booksQuery[] = "SELECT i.OID, t.TagID, t.Val FROM Items i         "
                          "LEFT JOIN Tags t ON i.OID=t.ItemID         "
                          "WHERE ParentID IS NULL AND State = 0 AND TagID < 52         "
                          "ORDER BY i.OID, t.TagID";

// Up to the WHERE clause, which lists one placeholder per excluded profile.
const char explorerQueryHead[] =
    "SELECT DISTINCT book_id, fast_hash, title, author, ext, size, modification_time, position, "
    "position_ts, cpage, npage, opentime, completed, completed_ts, favorite, custom, favorite_ts, "
    "profileid from files LEFT JOIN (SELECT id, title, author FROM books_impl ORDER BY title, "
    "author) AS B ON B.id = files.book_id LEFT JOIN (SELECT bookid, profileid, position, "
    "position_ts, cpage, npage, opentime, completed, completed_ts, favorite, custom, favorite_ts "
    "FROM books_settings) AS P ON P.bookid = files.book_id ";

const char excludedPlaceholder[] = ":excludedprofiles";

enum BookTag : int {
    tagAuthor = 16,
    tagTitle = 34,
};

// Values the reader stores as 64-bit integers are kept in 32 bits; NULL reads as 0.
int32_t toInt32(const QVariant &value)
{
    return static_cast<int32_t>(value.toLongLong());
}

// A signed byte even where char is unsigned (ARM). Only A-Z fold: that is tolower() in the
// "C" locale, and tolower() itself would follow the user's locale (a Latin-1 or Turkish
// locale folds other bytes) and is undefined for the negative values of a signed char.
int8_t foldedByte(char c)
{
    auto byte = static_cast<unsigned char>(c);
    if (byte >= 'A' && byte <= 'Z')
        byte = static_cast<unsigned char>(byte - 'A' + 'a');
    return static_cast<int8_t>(byte);
}

BookInfo &bookAt(std::map<int32_t, BookInfo> &books, int32_t oid)
{
    BookInfo &book = books[oid];
    book.oid = oid;
    return book;
}

// Equal titles have no order of their own; the OID breaks the tie so that every import of
// the same database gives the same indexes.
void assignTitleOrder(std::map<int32_t, BookInfo> &books, TitleList &titles)
{
    std::sort(titles.begin(), titles.end(), [](const auto &a, const auto &b) {
        if (titleLessThan(a.first, b.first))
            return true;
        if (titleLessThan(b.first, a.first))
            return false;
        return a.second < b.second;
    });
    for (std::size_t i = 0; i < titles.size(); ++i)
        books[titles[i].second].titleSortIndex = static_cast<int32_t>(i);
}

ReadOutcome readBookRows(const QSqlDatabase &db, bool mayRetry, std::map<int32_t, BookInfo> &books)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(QString::fromLatin1(booksQuery))) {
        if (mayRetry && needsPrivateCopy(query.lastError()))
            return ReadOutcome::NeedsCopy;
        qWarning().noquote() << QStringLiteral("exec ERROR: ") + query.lastError().text();
        return ReadOutcome::Failed;
    }

    qDebug() << "Start book processing";
    TitleList titles;
    while (query.next()) {
        const int32_t oid = toInt32(query.value(0));
        switch (query.value(1).toInt()) {
        case tagAuthor:
            bookAt(books, oid).author = query.value(2).toString();
            break;
        case tagTitle: {
            BookInfo &book = bookAt(books, oid);
            book.title = query.value(2).toString();
            titles.emplace_back(book.title.toUtf8(), oid);
            break;
        }
        case 17:
        case 46:
        case 51:
            bookAt(books, oid);
            break;
        default:
            break;
        }
    }
    // next() also ends on a read error (a damaged page, a card pulled out): that is no
    // complete list of books.
    if (query.lastError().isValid()) {
        qWarning().noquote() << QStringLiteral("exec ERROR: ") + query.lastError().text();
        books.clear();
        return ReadOutcome::Failed;
    }

    qDebug() << "Creating sorting help";
    assignTitleOrder(books, titles);
    qDebug() << "End book processing";
    qDebug().noquote() << QStringLiteral("Books count: ") + QString::number(books.size());
    return ReadOutcome::Read;
}

QString explorerQuery(std::size_t excludedCount)
{
    // One placeholder per id: a single ":excludedprofiles" bound to the text "1,2" would be
    // compared with profileid as one string and exclude nothing. SQLite accepts the empty
    // list "NOT IN ()", which excludes nothing. A book nobody opened has a NULL profileid,
    // which NOT IN alone would drop.
    QStringList placeholders;
    for (std::size_t i = 0; i < excludedCount; ++i)
        placeholders.append(QString::fromLatin1(excludedPlaceholder) + QString::number(i));
    return QString::fromLatin1(explorerQueryHead) +
           QStringLiteral("WHERE (profileid IS NULL OR profileid NOT IN (%1))"
                          "ORDER BY book_id, profileid")
               .arg(placeholders.join(QStringLiteral(", ")));
}

ProfileProgress progressFromRow(const QSqlQuery &query)
{
    ProfileProgress progress;
    progress.modificationTime = toInt32(query.value(6));
    progress.position = query.value(7).toString();
    progress.positionTs = toInt32(query.value(8));
    progress.cpage = toInt32(query.value(9));
    progress.npage = toInt32(query.value(10));
    progress.openTime = toInt32(query.value(11));
    progress.completed = query.value(12).toBool();
    progress.completedTs = toInt32(query.value(13));
    progress.favorite = toInt32(query.value(14));
    progress.custom = query.value(15).toString();
    progress.favoriteTs = toInt32(query.value(16));
    progress.size = query.value(5).toULongLong();
    return progress;
}

ExplorerBook bookFromRow(const QSqlQuery &query)
{
    ExplorerBook book;
    book.bookId = toInt32(query.value(0));
    book.fastHash = query.value(1).toString();
    book.title = query.value(2).toString();
    book.author = query.value(3).toString();
    book.ext = query.value(4).toString();
    book.size = query.value(5).toULongLong();
    return book;
}

struct ProfileMapping
{
    bool inUse = false;
    std::map<int32_t, int32_t> toIds; // the first pair of a fromId counts
    std::vector<int32_t> excluded;

    // A profile the map does not list keeps its own id, as when no map is used.
    int32_t mapped(int32_t profileId) const
    {
        if (!inUse)
            return profileId;
        const auto found = toIds.find(profileId);
        return found == toIds.end() ? profileId : found->second;
    }
};

ProfileMapping makeMapping(bool isDestination, const ProfileMap &profileMap)
{
    ProfileMapping mapping;
    mapping.inUse = !isDestination && !profileMap.empty();
    if (!mapping.inUse)
        return mapping;
    QStringList excludedText;
    for (const auto &[fromId, toId] : profileMap) {
        mapping.toIds.emplace(fromId, toId);
        if (toId == -1) {
            mapping.excluded.push_back(fromId);
            excludedText.append(QString::number(fromId));
        }
    }
    qDebug().noquote() << "Excluded profiles:" << excludedText.join(QLatin1Char(','));
    return mapping;
}

ReadOutcome readExplorerRows(const QSqlDatabase &db, bool mayRetry,
                             std::vector<ExplorerBook> &books, bool isDestination,
                             const ProfileMapping &mapping)
{
    QSqlQuery query(db);
    bool ran = query.prepare(explorerQuery(mapping.excluded.size()));
    if (ran) {
        for (std::size_t i = 0; i < mapping.excluded.size(); ++i)
            query.bindValue(QString::fromLatin1(excludedPlaceholder) + QString::number(i),
                            mapping.excluded[i]);
        ran = query.exec();
    }
    if (!ran) {
        if (mayRetry && needsPrivateCopy(query.lastError()))
            return ReadOutcome::NeedsCopy;
        qWarning().noquote() << QStringLiteral("Query exec ERROR: ") + query.lastError().text();
        return ReadOutcome::Failed;
    }

    const int rows = query.last() ? query.at() + 1 : 0;
    qDebug() << "Rows found:" << rows;
    books.reserve(static_cast<std::size_t>(rows));
    if (rows > 0 && query.first()) {
        do {
            const QVariant storedProfile = query.value(17);
            ProfileProgress progress = progressFromRow(query);
            progress.isDestination = isDestination;
            progress.profileId = storedProfile.isNull() ? -1 : toInt32(storedProfile);
            progress.mappedProfileId = mapping.mapped(progress.profileId);

            const int32_t bookId = toInt32(query.value(0));
            if (books.empty() || books.back().bookId != bookId)
                books.push_back(bookFromRow(query));
            if (progress.profileId >= 0)
                books.back().progress.push_back(std::move(progress));
        } while (query.next());
    }
    // Stepping stops on a read error as it does at the end: the rows seen so far would pass
    // for the whole database.
    if (query.lastError().isValid()) {
        qWarning().noquote() << QStringLiteral("Query exec ERROR: ") + query.lastError().text();
        books.clear();
        return ReadOutcome::Failed;
    }
    qInfo() << "DB rows, read entries count:" << rows << books.size();
    return ReadOutcome::Read;
}

} // namespace

bool importBooks(std::map<int32_t, BookInfo> &books, const fs::path &dbPath)
{
    books.clear();
    qDebug().noquote() << QStringLiteral("Using DB: ") + toQString(dbPath);
    const bool read = readDatabaseReadOnly(
        dbPath, QStringLiteral("annotationsimporter"),
        [&books](const QSqlDatabase &db, bool mayRetry) {
            books.clear();
            return readBookRows(db, mayRetry, books);
        });
    if (!read)
        books.clear();
    return read;
}

bool titleLessThan(const QByteArray &a, const QByteArray &b)
{
    const int common = std::min(a.size(), b.size());
    for (int i = 0; i < common; ++i) {
        const int8_t x = foldedByte(a.at(i));
        const int8_t y = foldedByte(b.at(i));
        if (x != y)
            return x < y;
    }
    return a.size() < b.size();
}

bool readExplorerBooks(const fs::path &dbPath, std::vector<ExplorerBook> &books, bool isDestination,
                       const ProfileMap &profileMap)
{
    books.clear();
    qInfo().noquote() << "Using dbpath:" << toQString(dbPath);
    const ProfileMapping mapping = makeMapping(isDestination, profileMap);

    const bool read = readDatabaseReadOnly(
        dbPath, QStringLiteral("testconnection"),
        [&](const QSqlDatabase &db, bool mayRetry) {
            books.clear();
            return readExplorerRows(db, mayRetry, books, isDestination, mapping);
        });
    if (!read)
        books.clear();
    return read;
}
