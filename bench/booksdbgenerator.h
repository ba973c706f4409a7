#pragma once

#include <QString>

#include <cstdint>
#include <filesystem>

/// What a generated books.db holds.
struct BooksDbContent
{
    int books = 0;       // live book items: each one becomes a BookInfo of the import
    int annotations = 0; // live annotation items: each one becomes an AnnotationRecord
    int highlights = 0;
    int notes = 0;
    int bookmarks = 0;
    int deletedItems = 0; // State 2 books and annotations, which the import must skip
    int64_t tagRows = 0;
    int64_t highlightChars = 0; // UTF-16 code units of all highlight texts, the bulk of the data
};

/// Writes a profile's books.db in the reader's own schema, filled like years of real reading:
/// a few books hold most of the annotations, texts in several languages and lengths, times
/// rising with the OIDs. The same sizes and seed give the same file. Runs on the calling thread
/// with a connection of its own; failures come back as false and errorString().
class BooksDbGenerator
{
public:
    BooksDbGenerator(int books, int annotations, uint64_t seed = 1);

    /// Creates `out`, which must not exist yet.
    bool write(const std::filesystem::path &out);

    const BooksDbContent &content() const { return m_content; }
    const QString &errorString() const { return m_error; }

private:
    int m_books;
    int m_annotations;
    uint64_t m_seed;
    BooksDbContent m_content;
    QString m_error;
};
