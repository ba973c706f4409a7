#pragma once

#include <QByteArray>
#include <QString>
#include <QVariantList>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

/// Builds a PocketBook reader's file tree in a folder of our own, with real SQLite databases
/// in the device's own schema: for the tests, and for the sample reader of a first run.
/// Every failure throws std::runtime_error: a tree that cannot be built is a broken setup,
/// not a result.
namespace fixture {

/// Where a reader keeps its explorer database.
enum class ExplorerLayout {
    OwnFolder3, // system/explorer-3/explorer-3.db
    InSystem3,  // system/explorer-3.db
    OwnFolder2, // system/explorer-2/explorer-2.db
    InSystem2,  // system/explorer-2.db
};

/// The layout's path relative to the mount point.
std::filesystem::path explorerRelativePath(ExplorerLayout layout);

/// The profile ids and names an explorer database starts with.
using ProfileRows = std::vector<std::pair<int, std::string>>;

/// One mounted volume of a reader (main memory, card, or a mirror folder with the same
/// layout). Creates its root folder; never deletes anything (the QTemporaryDir does).
class ReaderTree
{
public:
    explicit ReaderTree(std::filesystem::path mountPoint);

    const std::filesystem::path &root() const { return m_root; }

    /// An explorer database with these profiles; returns its path.
    std::filesystem::path addExplorerDb(ExplorerLayout layout = ExplorerLayout::OwnFolder3,
                                        const ProfileRows &profiles = {{1, "default"}});
    /// The root profile's system/config/books.db (schema, no rows); returns its path.
    std::filesystem::path addRootProfile();
    /// system/profiles/NAME/config/books.db (schema, no rows); returns its path.
    std::filesystem::path addProfile(const std::string &name);

    /// `relative` paths below the root; parent folders are created. Each returns the full path.
    std::filesystem::path addEmptyFile(const std::filesystem::path &relative);
    std::filesystem::path addFile(const std::filesystem::path &relative, const QByteArray &bytes);
    std::filesystem::path addDirectory(const std::filesystem::path &relative);

    /// Sets the modification time of a file (relative to the root, or absolute).
    void setWriteTime(const std::filesystem::path &file, int64_t secondsSinceEpoch);

private:
    std::filesystem::path m_root;
};

/// One connection of its own to a SQLite file, created when missing, removed on destruction.
/// Single statements commit at once; wrap hundreds of rows in transaction().
class SqliteFile
{
public:
    explicit SqliteFile(std::filesystem::path path);
    ~SqliteFile();
    SqliteFile(const SqliteFile &) = delete;
    SqliteFile &operator=(const SqliteFile &) = delete;

    const std::filesystem::path &path() const { return m_path; }

    /// One statement with positional '?' values (a null QVariant is NULL); returns the
    /// rowid of the last insert.
    int64_t exec(const QString &sql, const QVariantList &values = {});
    /// Runs `work` in one transaction (calls nest); rolls it back when `work` throws.
    void transaction(const std::function<void()> &work);

private:
    std::filesystem::path m_path;
    QString m_connection;
};

/// One annotation, one line per test: `{"note", 4, 17, 1535639951, "text", "my note"}`.
/// Every member has an initializer, so -Wmissing-field-initializers accepts short lists.
struct AnnotationSpec
{
    std::string kind = "highlight"; // tag 102: highlight, note, bookmark, draws, or anything
    int page = 0;                   // anchor page and offset as the device stores them (0-based)
    int offset = 0;
    int64_t created = 1535639951;     // tag 101 "created", seconds since the epoch
    std::string text = "Highlighted"; // tag 104 "text" (readers store "Bookmark" for bookmarks)
    std::string note{};               // tag 105 "text"; empty writes {}
    std::string colour = "yellow";    // tag 106; empty leaves the tag out
    int state = 0;                    // Items.State; 2 marks an item the reader deleted
    int64_t timeAlt = 0;              // Items.TimeAlt; 0 takes `created`
    std::string anchor{};             // tag 101 "anchor" as is; empty builds the pbr anchor
    std::vector<std::pair<int, std::string>> extraTags{}; // further (TagID, Val) rows
};

/// A profile's books.db: Items, Tags, TagNames, TypeNames, Books, Files, Paths.
class BooksDb : public SqliteFile
{
public:
    // The imports never read TypeID; these only fill the NOT NULL column.
    static constexpr int bookTypeId = 2;
    static constexpr int annotationTypeId = 5;

    /// Creates the tables when missing.
    explicit BooksDb(std::filesystem::path path);

    /// An Items row without parent, tags 16 (author) and 34 (title) when not empty, and the
    /// Books row with the same OID. `oid` 0 takes the highest OID so far + 1. Returns the OID.
    int64_t addBook(const std::string &title, const std::string &authors, int64_t oid = 0);
    /// An Items row whose ParentID is the book, and its tags 101, 102, 104, 105, 106.
    int64_t addAnnotation(int64_t bookOid, const AnnotationSpec &annotation = {});
    /// One Tags row; replaces an existing (ItemID, TagID) row.
    void setTag(int64_t itemOid, int tagId, const std::string &value);
};

/// One file in the explorer database, with its book.
struct ExplorerBookSpec
{
    std::string title = "A Book";
    std::string author = "An Author";
    std::string filename = "book.epub";
    std::string ext = "epub";
    int64_t size = 100000;
    int64_t modificationTime = 1535639000;
    std::string fastHash = "00112233445566778899aabbccddeeff";
    std::string folder = "/mnt/ext1/Books";
};

/// One books_settings row: a profile's reading progress in one book.
struct ProgressSpec
{
    int profileId = 1;
    std::string position = "pbr:/word?page=10&offs=0";
    int64_t positionTs = 1535639951;
    int cpage = 10;
    int npage = 200;
    int64_t openTime = 1535639951;
    int completed = 0;
    int64_t completedTs = 0;
    int favorite = 0;
    int64_t favoriteTs = 0;
    std::string custom{};
};

/// The device's explorer database: profiles, folders, books_impl, files, books_settings.
class ExplorerDb : public SqliteFile
{
public:
    /// Creates the tables when missing.
    explicit ExplorerDb(std::filesystem::path path);

    void addProfile(int id, const std::string &name);
    /// A books_impl row and its files row (in a folders row named after `folder`); returns
    /// the book id.
    int64_t addBook(const ExplorerBookSpec &book = {});
    void addProgress(int64_t bookId, const ProgressSpec &progress = {});
};

} // namespace fixture
