#include "readerfixture/readerfixture.h"

#include "core/textconv.h"

#include <QFile>

#include <QAtomicInt>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <fcntl.h>
#include <sys/stat.h>

#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

namespace fixture {
namespace {

[[noreturn]] void fail(const QString &what)
{
    throw std::runtime_error("reader fixture: " + what.toStdString());
}

void createDirectories(const fs::path &folder)
{
    std::error_code error;
    fs::create_directories(folder, error);
    if (error)
        fail(QStringLiteral("cannot create %1: %2")
                 .arg(toQString(folder), QString::fromStdString(error.message())));
}

QString uniqueConnectionName()
{
    static QAtomicInt counter;
    return QStringLiteral("readerfixture-%1").arg(counter.fetchAndAddRelaxed(1));
}

QVariant value(int64_t number)
{
    return QVariant(static_cast<qlonglong>(number));
}

QVariant value(const std::string &text)
{
    return QVariant(toQString(text));
}

QString compactJson(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

std::string pbrAnchor(int page, int offset)
{
    return "pbr:/word?page=" + std::to_string(page) + "&offs=" + std::to_string(offset) +
           "##epubcfi(/6/16!/4/2/328/1:185)";
}

} // namespace

fs::path explorerRelativePath(ExplorerLayout layout)
{
    switch (layout) {
    case ExplorerLayout::OwnFolder3:
        return "system/explorer-3/explorer-3.db";
    case ExplorerLayout::InSystem3:
        return "system/explorer-3.db";
    case ExplorerLayout::OwnFolder2:
        return "system/explorer-2/explorer-2.db";
    case ExplorerLayout::InSystem2:
        return "system/explorer-2.db";
    }
    fail(QStringLiteral("unknown explorer layout"));
}

ReaderTree::ReaderTree(fs::path mountPoint)
    : m_root(std::move(mountPoint))
{
    createDirectories(m_root);
}

fs::path ReaderTree::addExplorerDb(ExplorerLayout layout, const ProfileRows &profiles)
{
    const fs::path path = m_root / explorerRelativePath(layout);
    ExplorerDb db(path);
    db.transaction([&] {
        for (const auto &[id, name] : profiles)
            db.addProfile(id, name);
    });
    return path;
}

fs::path ReaderTree::addRootProfile()
{
    const fs::path path = m_root / "system" / "config" / "books.db";
    const BooksDb schema(path);
    return path;
}

fs::path ReaderTree::addProfile(const std::string &name)
{
    const fs::path path = m_root / "system" / "profiles" / name / "config" / "books.db";
    const BooksDb schema(path);
    return path;
}

fs::path ReaderTree::addEmptyFile(const fs::path &relative)
{
    return addFile(relative, QByteArray());
}

fs::path ReaderTree::addFile(const fs::path &relative, const QByteArray &bytes)
{
    const fs::path path = m_root / relative;
    createDirectories(path.parent_path());
    QFile file(toQString(path));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        fail(QStringLiteral("cannot write ") + toQString(path));
    return path;
}

fs::path ReaderTree::addDirectory(const fs::path &relative)
{
    const fs::path path = m_root / relative;
    createDirectories(path);
    return path;
}

void ReaderTree::setWriteTime(const fs::path &file, int64_t secondsSinceEpoch)
{
    const fs::path path = m_root / file;
    const timespec times[2] = {{static_cast<time_t>(secondsSinceEpoch), 0},
                               {static_cast<time_t>(secondsSinceEpoch), 0}};
    if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
        fail(QStringLiteral("cannot set the time of ") + toQString(path));
}

SqliteFile::SqliteFile(fs::path path)
    : m_path(std::move(path))
    , m_connection(uniqueConnectionName())
{
    createDirectories(m_path.parent_path());
    QString error;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
        db.setDatabaseName(toQString(m_path));
        if (!db.open())
            error = db.lastError().text();
    }
    if (!error.isEmpty()) {
        QSqlDatabase::removeDatabase(m_connection);
        fail(QStringLiteral("cannot open %1: %2").arg(toQString(m_path), error));
    }
    // Test databases need no durability, and hundreds of single inserts stay fast without it.
    exec(QStringLiteral("PRAGMA synchronous = OFF"));
}

SqliteFile::~SqliteFile()
{
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
}

int64_t SqliteFile::exec(const QString &sql, const QVariantList &values)
{
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (!query.prepare(sql))
        fail(sql + QStringLiteral(": ") + query.lastError().text());
    for (const QVariant &bound : values)
        query.addBindValue(bound);
    if (!query.exec())
        fail(sql + QStringLiteral(": ") + query.lastError().text());
    return query.lastInsertId().toLongLong();
}

void SqliteFile::transaction(const std::function<void()> &work)
{
    // A savepoint outside a transaction acts as BEGIN/COMMIT, and inside one it nests.
    exec(QStringLiteral("SAVEPOINT fixture"));
    try {
        work();
    } catch (...) {
        exec(QStringLiteral("ROLLBACK TO fixture"));
        exec(QStringLiteral("RELEASE fixture"));
        throw;
    }
    exec(QStringLiteral("RELEASE fixture"));
}

BooksDb::BooksDb(fs::path path)
    : SqliteFile(std::move(path))
{
    transaction([this] {
        exec(QStringLiteral("CREATE TABLE IF NOT EXISTS TypeNames (OID INTEGER PRIMARY KEY, "
                            "TypeName TEXT NOT NULL UNIQUE)"));
        exec(QStringLiteral("CREATE TABLE IF NOT EXISTS Items (OID INTEGER PRIMARY KEY, "
                            "ParentID INTEGER, TypeID INTEGER NOT NULL, "
                            "State INTEGER NOT NULL DEFAULT 0, TimeAlt INTEGER NOT NULL DEFAULT 0, "
                            "HashUUID TEXT)"));
        exec(QStringLiteral("CREATE TABLE IF NOT EXISTS TagNames (OID INTEGER PRIMARY KEY, "
                            "TagName TEXT NOT NULL UNIQUE, Opts INTEGER NOT NULL DEFAULT 0)"));
        exec(QStringLiteral("CREATE TABLE IF NOT EXISTS Tags (OID INTEGER PRIMARY KEY, "
                            "ItemID INTEGER NOT NULL, TagID INTEGER NOT NULL, Val TEXT, "
                            "TimeEdt INTEGER NOT NULL DEFAULT 0, UNIQUE (ItemID, TagID))"));
        exec(QStringLiteral("CREATE TABLE IF NOT EXISTS Books (OID INTEGER PRIMARY KEY, "
                            "Title TEXT, Authors TEXT, TimeAdd INTEGER NOT NULL DEFAULT 0)"));
        exec(QStringLiteral("CREATE TABLE IF NOT EXISTS Paths (OID INTEGER PRIMARY KEY, "
                            "Path TEXT NOT NULL UNIQUE)"));
        exec(
            QStringLiteral("CREATE TABLE IF NOT EXISTS Files (OID INTEGER PRIMARY KEY, "
                           "BookID INTEGER NOT NULL, PathID INTEGER NOT NULL, Name TEXT NOT NULL, "
                           "Size INTEGER NOT NULL DEFAULT 0, TimeAlt INTEGER NOT NULL DEFAULT 0)"));
        exec(QStringLiteral("INSERT OR IGNORE INTO TypeNames (OID, TypeName) VALUES (?, 'book'), "
                            "(?, 'annotation')"),
             {bookTypeId, annotationTypeId});
        exec(QStringLiteral("INSERT OR IGNORE INTO TagNames (OID, TagName) VALUES "
                            "(16, 'author'), (34, 'title'), (101, 'anchor'), (102, 'kind'), "
                            "(104, 'quotation'), (105, 'note'), (106, 'color')"));
    });
}

int64_t BooksDb::addBook(const std::string &title, const std::string &authors, int64_t oid)
{
    int64_t bookOid = 0;
    transaction([&] {
        bookOid =
            exec(QStringLiteral("INSERT INTO Items (OID, ParentID, TypeID) VALUES (?, NULL, ?)"),
                 {oid > 0 ? value(oid) : QVariant(), bookTypeId});
        if (!authors.empty())
            setTag(bookOid, 16, authors);
        if (!title.empty())
            setTag(bookOid, 34, title);
        exec(QStringLiteral("INSERT INTO Books (OID, Title, Authors) VALUES (?, ?, ?)"),
             {value(bookOid), value(title), value(authors)});
    });
    return bookOid;
}

int64_t BooksDb::addAnnotation(int64_t bookOid, const AnnotationSpec &annotation)
{
    const bool bookmark = annotation.kind == "bookmark";
    const QString anchor =
        toQString(annotation.anchor.empty() ? pbrAnchor(annotation.page, annotation.offset)
                                            : annotation.anchor);
    int64_t oid = 0;
    transaction([&] {
        oid = exec(QStringLiteral("INSERT INTO Items (ParentID, TypeID, State, TimeAlt) "
                                  "VALUES (?, ?, ?, ?)"),
                   {value(bookOid), annotationTypeId, annotation.state,
                    value(annotation.timeAlt != 0 ? annotation.timeAlt : annotation.created)});
        setTag(oid, 101,
               compactJson({{QStringLiteral("anchor"), anchor},
                            {QStringLiteral("created"), static_cast<qint64>(annotation.created)}})
                   .toStdString());
        setTag(oid, 102, annotation.kind);
        QJsonObject quotation{{QStringLiteral("text"), toQString(annotation.text)}};
        if (!bookmark) {
            const int length = toQString(annotation.text).size();
            quotation.insert(QStringLiteral("begin"), anchor);
            quotation.insert(QStringLiteral("end"),
                             annotation.anchor.empty()
                                 ? toQString(pbrAnchor(annotation.page, annotation.offset + length))
                                 : anchor);
        }
        setTag(oid, 104, compactJson(quotation).toStdString());
        if (!annotation.note.empty())
            setTag(
                oid, 105,
                compactJson({{QStringLiteral("text"), toQString(annotation.note)}}).toStdString());
        else if (!bookmark)
            setTag(oid, 105, "{}");
        if (!annotation.colour.empty())
            setTag(oid, 106, annotation.colour);
        for (const auto &[tagId, tagValue] : annotation.extraTags)
            setTag(oid, tagId, tagValue);
    });
    return oid;
}

void BooksDb::setTag(int64_t itemOid, int tagId, const std::string &tagValue)
{
    exec(QStringLiteral("INSERT OR REPLACE INTO Tags (ItemID, TagID, Val) VALUES (?, ?, ?)"),
         {value(itemOid), tagId, value(tagValue)});
}

ExplorerDb::ExplorerDb(fs::path path)
    : SqliteFile(std::move(path))
{
    transaction([this] {
        exec(QStringLiteral("CREATE TABLE IF NOT EXISTS profiles (id INTEGER PRIMARY KEY, "
                            "name TEXT NOT NULL)"));
        exec(QStringLiteral("CREATE TABLE IF NOT EXISTS folders (id INTEGER PRIMARY KEY, "
                            "storageid INTEGER NOT NULL DEFAULT 1, name TEXT NOT NULL)"));
        exec(QStringLiteral("CREATE TABLE IF NOT EXISTS books_impl (id INTEGER PRIMARY KEY, "
                            "title TEXT, author TEXT, firstauthor TEXT, series TEXT, "
                            "numinseries INTEGER, ext TEXT, size INTEGER, ts_added INTEGER)"));
        exec(QStringLiteral("CREATE TABLE IF NOT EXISTS files (id INTEGER PRIMARY KEY, "
                            "storageid INTEGER NOT NULL DEFAULT 1, folder_id INTEGER, "
                            "book_id INTEGER, filename TEXT, size INTEGER, "
                            "modification_time INTEGER, ext TEXT, fast_hash TEXT)"));
        exec(QStringLiteral("CREATE TABLE IF NOT EXISTS books_settings (bookid INTEGER, "
                            "profileid INTEGER, position TEXT, position_ts INTEGER, "
                            "cpage INTEGER, npage INTEGER, opentime INTEGER, completed INTEGER, "
                            "completed_ts INTEGER, favorite INTEGER, favorite_ts INTEGER, "
                            "custom TEXT)"));
    });
}

void ExplorerDb::addProfile(int id, const std::string &name)
{
    exec(QStringLiteral("INSERT INTO profiles (id, name) VALUES (?, ?)"), {id, value(name)});
}

int64_t ExplorerDb::addBook(const ExplorerBookSpec &book)
{
    int64_t bookId = 0;
    transaction([&] {
        exec(QStringLiteral("INSERT INTO folders (name) SELECT ? "
                            "WHERE NOT EXISTS (SELECT 1 FROM folders WHERE name = ?)"),
             {value(book.folder), value(book.folder)});
        bookId = exec(QStringLiteral("INSERT INTO books_impl (title, author, firstauthor, ext, "
                                     "size, ts_added) VALUES (?, ?, ?, ?, ?, ?)"),
                      {value(book.title), value(book.author), value(book.author), value(book.ext),
                       value(book.size), value(book.modificationTime)});
        exec(QStringLiteral("INSERT INTO files (folder_id, book_id, filename, size, "
                            "modification_time, ext, fast_hash) VALUES ("
                            "(SELECT id FROM folders WHERE name = ?), ?, ?, ?, ?, ?, ?)"),
             {value(book.folder), value(bookId), value(book.filename), value(book.size),
              value(book.modificationTime), value(book.ext), value(book.fastHash)});
    });
    return bookId;
}

void ExplorerDb::addProgress(int64_t bookId, const ProgressSpec &progress)
{
    exec(QStringLiteral("INSERT INTO books_settings (bookid, profileid, position, position_ts, "
                        "cpage, npage, opentime, completed, completed_ts, favorite, favorite_ts, "
                        "custom) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
         {value(bookId), progress.profileId, value(progress.position), value(progress.positionTs),
          progress.cpage, progress.npage, value(progress.openTime), progress.completed,
          value(progress.completedTs), progress.favorite, value(progress.favoriteTs),
          value(progress.custom)});
}

} // namespace fixture
