#include "database/annotationimport.h"

#include "core/textconv.h"
#include "database/jsonscan.h"
#include "database/readonlydb.h"

#include <QByteArray>
#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringView>
#include <QVariant>

#include <algorithm>
#include <cmath>
#include <limits>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// The book import uses the same name; the two never run at the same time.
const char *const connectionName = "annotationsimporter";

// The runs of nine blanks are part of the specified text.
const char *const annotationQuery =
    "SELECT ParentID, i.OID, i.TimeAlt, t.TagID, t.Val FROM Items i         "
    "LEFT JOIN Tags t ON i.OID=t.ItemID         "
    "WHERE State = 0 AND TagID > 100         "
    "ORDER BY i.OID, t.TagID";

int32_t saturated(int64_t value)
{
    return static_cast<int32_t>(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
}

// Walks a text the way the C library's scanf walks its UTF-8 bytes (those of toUtf8(), which
// writes '?' for an unpaired surrogate): it ends at the first NUL, "white space" is the C
// locale's set, and the bytes of a non-ASCII character are never blank, a digit, a sign or
// an ordinary character of the format.
class ScanfCursor
{
public:
    // `text` must outlive the cursor.
    explicit ScanfCursor(QStringView text)
        : m_pos(text.utf16())
        , m_end(m_pos + text.size())
    {}

    // An ordinary character of the format must equal the next input character.
    bool literal(const char *text)
    {
        if (m_insideCharacter)
            return false;
        for (; *text != '\0'; ++text, ++m_pos) {
            if (atEnd() || byte() != static_cast<char16_t>(*text))
                return false;
        }
        return true;
    }

    // "%Ns": blanks skipped, then 1 to N non-blank bytes (a '?' is a non-blank byte too). When
    // only the first bytes of a character fit, the walk stops inside it.
    bool word(int maxBytes)
    {
        skipBlanks();
        const char16_t *const start = m_pos;
        int bytes = 0;
        while (!atEnd() && bytes < maxBytes && !isBlank(*m_pos)) {
            const int length = utf8Length();
            if (bytes + length > maxBytes) {
                m_insideCharacter = true;
                return true;
            }
            bytes += length;
            m_pos += length == 4 ? 2 : 1;
        }
        return m_pos != start;
    }

    // A final "%s" with no limit: it matches when a non-blank byte follows the blanks.
    bool anyWord()
    {
        skipBlanks();
        return !atEnd();
    }

    // "%d": blanks skipped, an optional sign, at least one decimal digit; every digit is
    // consumed. Values outside int32 are reported as not fitting, never wrapped (C leaves
    // them undefined, glibc truncates them to garbage).
    bool integer(int32_t &value, bool &fits)
    {
        skipBlanks();
        bool negative = false;
        if (!atEnd() && (*m_pos == u'+' || *m_pos == u'-'))
            negative = *m_pos++ == u'-';
        const char16_t *const digits = m_pos;
        constexpr int64_t beyondInt32 = int64_t{1} << 32;
        int64_t magnitude = 0;
        for (; !atEnd() && *m_pos >= u'0' && *m_pos <= u'9'; ++m_pos)
            magnitude = std::min(magnitude * 10 + (*m_pos - u'0'), beyondInt32);
        if (m_pos == digits)
            return false;
        const int64_t signedValue = negative ? -magnitude : magnitude;
        fits = signedValue == saturated(signedValue);
        value = fits ? static_cast<int32_t>(signedValue) : 0;
        return true;
    }

private:
    static bool isBlank(char16_t c)
    {
        return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r';
    }
    static bool isHighSurrogate(char16_t c) { return (c & 0xfc00) == 0xd800; }
    static bool isLowSurrogate(char16_t c) { return (c & 0xfc00) == 0xdc00; }

    bool atEnd() const { return m_pos == m_end || *m_pos == u'\0'; }
    bool pairAtPos() const
    {
        return isHighSurrogate(*m_pos) && m_pos + 1 != m_end && isLowSurrogate(m_pos[1]);
    }
    // The first UTF-8 byte of the character at the cursor, where it is ASCII; any value from
    // 0x80 on stands for a byte that matches nothing.
    char16_t byte() const
    {
        const char16_t c = *m_pos;
        return (c & 0xf800) == 0xd800 && !pairAtPos() ? u'?' : c;
    }
    int utf8Length() const
    {
        const char16_t c = *m_pos;
        if (c < 0x80)
            return 1;
        if (c < 0x800)
            return 2;
        if ((c & 0xf800) == 0xd800)
            return pairAtPos() ? 4 : 1;
        return 3;
    }
    void skipBlanks()
    {
        while (!atEnd() && isBlank(*m_pos))
            ++m_pos;
    }

    const char16_t *m_pos;
    const char16_t *m_end;
    bool m_insideCharacter = false;
};

// The pattern "pbr:/%4s?page=%d&offs=%d#%s", all four conversions required: a partial
// match, or a number outside int32, gives (0, 0).
std::pair<int, int> pbrAnchor(QStringView anchor)
{
    ScanfCursor cursor(anchor);
    int32_t page = 0;
    int32_t offset = 0;
    bool pageFits = false;
    bool offsetFits = false;
    const bool matched = cursor.literal("pbr:/") && cursor.word(4) && cursor.literal("?page=") &&
                         cursor.integer(page, pageFits) && cursor.literal("&offs=") &&
                         cursor.integer(offset, offsetFits) && cursor.literal("#") &&
                         cursor.anyWord();
    if (!matched || !pageFits || !offsetFits)
        return {0, 0};
    return {page, offset};
}

void setPosition(AnnotationRecord &record, std::pair<int, int> pageAndOffset)
{
    const auto [page, offset] = pageAndOffset;
    record.page = saturated(int64_t{page} + 1);
    record.offset = saturated(int64_t{offset} + 1);
    record.positionKey = saturated(int64_t{page} * 10000 + offset);
}

// QVariant::toLongLong() and toInt(), with a shortcut for the 64-bit integers the driver gives
// for INTEGER columns (toInt() keeps their low 32 bits, as the cast does).
int64_t integerValue(const QVariant &value)
{
    if (value.userType() == QMetaType::LongLong)
        return *static_cast<const qlonglong *>(value.constData());
    return value.toLongLong();
}

int32_t intValue(const QVariant &value)
{
    if (value.userType() == QMetaType::LongLong)
        return static_cast<int32_t>(*static_cast<const qlonglong *>(value.constData()));
    return value.toInt();
}

// Integral JSON numbers are kept exactly as 64-bit integers; a fraction is cut off; text,
// non-finite numbers and numbers beyond 64 bits give 0.
int64_t createdSeconds(const QJsonValue &created)
{
    if (!created.isDouble())
        return 0;
    const QVariant number = created.toVariant();
    if (number.userType() == QMetaType::LongLong)
        return number.toLongLong();
    const double seconds = std::trunc(created.toDouble());
    constexpr double limit = 9223372036854775808.0; // 2^63
    if (!std::isfinite(seconds) || seconds < -limit || seconds >= limit)
        return 0;
    return static_cast<int64_t>(seconds);
}

// A tag value stored as a BLOB goes to QJsonDocument as it is: its bytes need not be valid
// UTF-8, which the parser checks. Every other value is read as text; a value that is no JSON
// object gives no members.
bool isBlob(const QVariant &value)
{
    return value.userType() == QMetaType::QByteArray;
}

QJsonObject blobJsonObject(const QVariant &value)
{
    return QJsonDocument::fromJson(value.toByteArray()).object();
}

QString jsonText(const QVariant &value)
{
    if (isBlob(value))
        return blobJsonObject(value).value(QStringLiteral("text")).toString();
    const QString json = value.toString();
    return JsonMembers(json, {"text"}).string(0);
}

AnnotationRecord openRecord(const QSqlQuery &query)
{
    AnnotationRecord record;
    record.parentId = intValue(query.value(0));
    record.oid = intValue(query.value(1));
    record.timeAlt = integerValue(query.value(2));
    const QVariant value = query.value(4);
    if (isBlob(value)) {
        const QJsonObject json = blobJsonObject(value);
        record.created = createdSeconds(json.value(QStringLiteral("created")));
        setAnchorPosition(record, json.value(QStringLiteral("anchor")).toString());
        return record;
    }
    const QString text = value.toString();
    const JsonMembers json(text, {"created", "anchor"});
    record.created = json.truncatedInteger(0);
    QString decodedAnchor;
    setPosition(record, pbrAnchor(json.stringView(1, decodedAnchor)));
    return record;
}

// One shared string for each kind the reader writes, not one per annotation.
QString sharedKind(const QString &kind)
{
    static const QString known[] = {QStringLiteral("highlight"), QStringLiteral("note"),
                                    QStringLiteral("bookmark")};
    for (const QString &name : known) {
        if (kind == name)
            return name;
    }
    return kind;
}

void readRows(QSqlQuery &query, std::vector<AnnotationRecord> &records)
{
    while (query.next()) {
        const int tagId = intValue(query.value(3));
        if (tagId == 101) {
            records.push_back(openRecord(query));
            continue;
        }
        // Only the rows of the item that opened the current record belong to it: tags of an
        // item without tag 101 would otherwise land on the annotation read before it.
        if (records.empty() || records.back().oid != intValue(query.value(1)))
            continue;
        AnnotationRecord &current = records.back();
        switch (tagId) {
        case 102:
            current.kind = sharedKind(query.value(4).toString());
            current.isBookmark = current.kind == QLatin1String("bookmark");
            break;
        case 104:
            current.highlightText = jsonText(query.value(4));
            break;
        case 105:
            current.noteText = jsonText(query.value(4));
            break;
        case 106:
            current.color = classifyAnnotationColor(query.value(4).toString());
            break;
        default:
            break;
        }
    }
}

// Every annotation is an item, and SQLite counts a table's rows by walking its pages alone:
// the list gets its size at once instead of by doubling, each step of which would fill fresh
// pages. A count beyond `maxReserved` (a damaged or foreign file) only grows the list as before.
void reserveForItems(const QSqlDatabase &db, std::vector<AnnotationRecord> &records)
{
    constexpr int64_t maxReserved = 1 << 20;
    QSqlQuery count(db);
    count.setForwardOnly(true);
    if (count.exec(QStringLiteral("SELECT COUNT(*) FROM Items")) && count.next())
        records.reserve(size_t(std::clamp(integerValue(count.value(0)), int64_t{0}, maxReserved)));
}

// The rows of one attempt; `mayRetry`: a failure that a private copy could avoid is
// handed back instead of warned about.
ReadOutcome readAnnotationRows(const QSqlDatabase &db, bool mayRetry,
                               std::vector<AnnotationRecord> &records)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(QString::fromLatin1(annotationQuery))) {
        const QSqlError error = query.lastError();
        if (mayRetry && needsPrivateCopy(error))
            return ReadOutcome::NeedsCopy;
        qWarning().noquote() << QStringLiteral("Query exec ERROR: ") + error.text();
        return ReadOutcome::Failed;
    }
    qDebug() << "Start annotations processing.";
    reserveForItems(db, records);
    readRows(query, records);
    // A step that fails half-way (a damaged page) ends next() early: the list would be
    // incomplete, so it counts as a failed execution.
    if (query.lastError().isValid()) {
        qWarning().noquote() << QStringLiteral("Query exec ERROR: ") + query.lastError().text();
        records.clear();
        return ReadOutcome::Failed;
    }
    qDebug() << "Finished annotations processing.";
    qDebug().noquote() << QStringLiteral("Annotations count: ") + QString::number(records.size());
    return ReadOutcome::Read;
}

} // namespace

bool importAnnotations(std::vector<AnnotationRecord> &records, const fs::path &dbPath)
{
    records.clear();
    records.reserve(1000);
    std::error_code error;
    if (!fs::exists(dbPath, error)) {
        qDebug() << "Dbpath not found. Reader disconnected?";
        return false;
    }
    qDebug().noquote() << QStringLiteral("Using DB: ") + toQString(dbPath);
    return readDatabaseReadOnly(dbPath, QString::fromLatin1(connectionName),
                                [&records](const QSqlDatabase &db, bool mayRetry) {
                                    return readAnnotationRows(db, mayRetry, records);
                                });
}

std::pair<int, int> parsePbrAnchor(const QString &anchor)
{
    return pbrAnchor(anchor);
}

void setAnchorPosition(AnnotationRecord &record, const QString &anchor)
{
    setPosition(record, pbrAnchor(anchor));
}

int32_t classifyAnnotationColor(const QString &name)
{
    if (name.isEmpty())
        return color_none;
    // Positions past the end read as 0, which no test below matches.
    const auto at = [&name](int i) { return i < name.size() ? name.at(i).unicode() : 0; };
    const char16_t first = at(0);
    if (first >= 256)
        return color_none;
    switch (first) {
    case u'y':
        return color_yellow;
    case u'b':
        return color_blue;
    case u'c':
        return color_cyan;
    case u'r':
        return color_red;
    case u'm':
        return color_magenta;
    case u'o':
        return color_orange;
    case u'g':
        if (at(4) == u'n')
            return color_green;
        if (at(3) == u'y')
            return color_gray;
        return color_magenta;
    case u'p':
        if (at(1) == u'i')
            return color_pink;
        if (at(3) == u'p')
            return color_purple;
        return color_none;
    default:
        return color_other;
    }
}
