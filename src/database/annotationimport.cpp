#include "database/annotationimport.h"

#include "core/textconv.h"
#include "database/readonlydb.h"

#include <QByteArray>
#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>
#include <cmath>
#include <cstring>
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

// Walks the UTF-8 bytes of a text the way the C library's scanf walks a string: it ends at
// the first NUL byte, and "white space" is the C locale's set.
class ScanfCursor
{
public:
    // `bytes` must outlive the cursor.
    explicit ScanfCursor(const QByteArray &bytes)
        : m_pos(bytes.constData())
        , m_end(m_pos + qstrnlen(bytes.constData(), uint(bytes.size())))
    {}

    // An ordinary character of the format must equal the next input character.
    bool literal(const char *text)
    {
        for (; *text != '\0'; ++text, ++m_pos) {
            if (m_pos == m_end || *m_pos != *text)
                return false;
        }
        return true;
    }

    // "%Ns": blanks skipped, then 1 to N non-blank bytes (a '?' is a non-blank byte too).
    bool word(int maxBytes)
    {
        skipBlanks();
        const char *const start = m_pos;
        while (m_pos != m_end && m_pos - start < maxBytes && !isBlank(*m_pos))
            ++m_pos;
        return m_pos != start;
    }

    // "%d": blanks skipped, an optional sign, at least one decimal digit; every digit is
    // consumed. Values outside int32 are reported as not fitting, never wrapped (C leaves
    // them undefined, glibc truncates them to garbage).
    bool integer(int32_t &value, bool &fits)
    {
        skipBlanks();
        bool negative = false;
        if (m_pos != m_end && (*m_pos == '+' || *m_pos == '-'))
            negative = *m_pos++ == '-';
        const char *const digits = m_pos;
        constexpr int64_t beyondInt32 = int64_t{1} << 32;
        int64_t magnitude = 0;
        for (; m_pos != m_end && *m_pos >= '0' && *m_pos <= '9'; ++m_pos)
            magnitude = std::min(magnitude * 10 + (*m_pos - '0'), beyondInt32);
        if (m_pos == digits)
            return false;
        const int64_t signedValue = negative ? -magnitude : magnitude;
        fits = signedValue == saturated(signedValue);
        value = fits ? static_cast<int32_t>(signedValue) : 0;
        return true;
    }

private:
    static bool isBlank(char c)
    {
        return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
    }
    void skipBlanks()
    {
        while (m_pos != m_end && isBlank(*m_pos))
            ++m_pos;
    }

    const char *m_pos;
    const char *m_end;
};

QJsonObject jsonObject(const QVariant &value)
{
    // An unparsable value, or JSON that is not an object, gives an empty object.
    const QByteArray bytes =
        value.userType() == QMetaType::QByteArray ? value.toByteArray() : value.toString().toUtf8();
    return QJsonDocument::fromJson(bytes).object();
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

AnnotationRecord openRecord(const QSqlQuery &query)
{
    AnnotationRecord record;
    record.parentId = query.value(0).toInt();
    record.oid = query.value(1).toInt();
    record.timeAlt = query.value(2).toLongLong();
    const QJsonObject json = jsonObject(query.value(4));
    record.created = createdSeconds(json.value(QStringLiteral("created")));
    setAnchorPosition(record, json.value(QStringLiteral("anchor")).toString());
    return record;
}

void readRows(QSqlQuery &query, std::vector<AnnotationRecord> &records)
{
    while (query.next()) {
        const int tagId = query.value(3).toInt();
        if (tagId == 101) {
            records.push_back(openRecord(query));
            continue;
        }
        // Only the rows of the item that opened the current record belong to it: tags of an
        // item without tag 101 would otherwise land on the annotation read before it.
        if (records.empty() || records.back().oid != query.value(1).toInt())
            continue;
        AnnotationRecord &current = records.back();
        switch (tagId) {
        case 102:
            current.kind = query.value(4).toString();
            current.isBookmark = current.kind == QLatin1String("bookmark");
            break;
        case 104:
            current.highlightText =
                jsonObject(query.value(4)).value(QStringLiteral("text")).toString();
            break;
        case 105:
            current.noteText = jsonObject(query.value(4)).value(QStringLiteral("text")).toString();
            break;
        case 106:
            current.color = classifyAnnotationColor(query.value(4).toString());
            break;
        default:
            break;
        }
    }
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
    // The pattern "pbr:/%4s?page=%d&offs=%d#%s" on the UTF-8 bytes, all four conversions
    // required: a partial match, or a number outside int32, gives (0, 0).
    const QByteArray bytes = anchor.toUtf8();
    ScanfCursor cursor(bytes);
    int32_t page = 0;
    int32_t offset = 0;
    bool pageFits = false;
    bool offsetFits = false;
    const bool matched = cursor.literal("pbr:/") && cursor.word(4) && cursor.literal("?page=") &&
                         cursor.integer(page, pageFits) && cursor.literal("&offs=") &&
                         cursor.integer(offset, offsetFits) && cursor.literal("#") &&
                         cursor.word(std::numeric_limits<int>::max());
    if (!matched || !pageFits || !offsetFits)
        return {0, 0};
    return {page, offset};
}

void setAnchorPosition(AnnotationRecord &record, const QString &anchor)
{
    const auto [page, offset] = parsePbrAnchor(anchor);
    record.page = saturated(int64_t{page} + 1);
    record.offset = saturated(int64_t{offset} + 1);
    record.positionKey = saturated(int64_t{page} * 10000 + offset);
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
