#include "database/jsonscan.h"

#include <QVarLengthArray>

#include <bitset>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <system_error>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// QJsonDocument refuses a document with more objects and arrays open at once.
constexpr int maxNesting = 1024;

bool isSpace(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r';
}

bool isDigit(char16_t c)
{
    return c >= u'0' && c <= u'9';
}

int hexDigit(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

bool isSurrogate(char16_t c)
{
    return (c & 0xf800) == 0xd800;
}

bool isHighSurrogate(char16_t c)
{
    return (c & 0xfc00) == 0xd800;
}

bool isLowSurrogate(char16_t c)
{
    return (c & 0xfc00) == 0xdc00;
}

void skipSpace(const char16_t *&pos, const char16_t *end)
{
    while (pos != end && isSpace(*pos))
        ++pos;
}

// QByteArray::toLongLong of an optional '-' and digits: false when the value is beyond 64 bits.
bool toInt64(const char16_t *pos, const char16_t *end, int64_t &value)
{
    const bool negative = pos != end && *pos == u'-';
    if (negative)
        ++pos;
    if (pos == end)
        return false;
    constexpr uint64_t maxMagnitude = uint64_t{1} << 63;
    uint64_t magnitude = 0;
    for (; pos != end; ++pos) {
        const auto digit = static_cast<uint64_t>(*pos - u'0');
        if (magnitude > (maxMagnitude - digit) / 10)
            return false;
        magnitude = magnitude * 10 + digit;
    }
    if (magnitude == maxMagnitude) {
        if (!negative)
            return false;
        value = std::numeric_limits<int64_t>::min();
        return true;
    }
    value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

// QByteArray::toDouble of a number token the scan delimited: correctly rounded, and false
// where Qt calls the number illegal: beyond double, or a non-zero number that comes out 0.
bool toDouble(const char16_t *pos, const char16_t *end, double &value)
{
    QVarLengthArray<char, 64> ascii(static_cast<int>(end - pos));
    for (char &c : ascii)
        c = static_cast<char>(*pos++);
    const char *const last = ascii.constData() + ascii.size();
    const std::from_chars_result result = std::from_chars(ascii.constData(), last, value);
    return result.ec == std::errc() && result.ptr == last && std::isfinite(value);
}

// The first quote or backslash from `pos` on, or `end`; sets `surrogates` when a surrogate
// comes before it. Highlights run to thousands of characters: eight at a time where SSE2 is.
const char16_t *findQuoteOrBackslash(const char16_t *pos, const char16_t *end, bool &surrogates)
{
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi16(u'"');
    const __m128i backslash = _mm_set1_epi16(u'\\');
    const __m128i surrogateMask = _mm_set1_epi16(static_cast<short>(0xf800));
    const __m128i surrogateRange = _mm_set1_epi16(static_cast<short>(0xd800));
    while (end - pos >= 8) {
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i *>(pos));
        const int stops = _mm_movemask_epi8(
            _mm_or_si128(_mm_cmpeq_epi16(units, quote), _mm_cmpeq_epi16(units, backslash)));
        const int inSurrogate = _mm_movemask_epi8(
            _mm_cmpeq_epi16(_mm_and_si128(units, surrogateMask), surrogateRange));
        if (stops != 0) {
            const int stopByte = __builtin_ctz(static_cast<unsigned>(stops));
            if ((inSurrogate & ((1 << stopByte) - 1)) != 0)
                surrogates = true;
            return pos + stopByte / 2;
        }
        if (inSurrogate != 0)
            surrogates = true;
        pos += 8;
    }
#endif
    for (; pos != end && *pos != u'"' && *pos != u'\\'; ++pos) {
        if (isSurrogate(*pos))
            surrogates = true;
    }
    return pos;
}

// Moves past the string whose opening quote is under `pos`. False when it never ends or holds
// an escape QJsonDocument refuses: it takes any other ASCII character after a backslash as
// itself, but reads the escaped character as one UTF-8 byte, so that a non-ASCII one leaves
// a stray continuation byte, which is an error. toUtf8() makes '?' of an unpaired surrogate,
// so that one passes.
bool skipString(const char16_t *&pos, const char16_t *end, bool &escaped, bool &surrogates)
{
    ++pos;
    escaped = false;
    surrogates = false;
    for (;;) {
        pos = findQuoteOrBackslash(pos, end, surrogates);
        if (pos == end)
            return false;
        if (*pos++ == u'"')
            return true;
        escaped = true;
        if (pos == end)
            return false;
        const char16_t c = *pos++;
        if (c == u'u') {
            if (end - pos < 4)
                return false;
            for (int i = 0; i < 4; ++i) {
                if (hexDigit(pos[i]) < 0)
                    return false;
            }
            pos += 4;
        } else if (c >= 0x80) {
            const bool unpaired =
                isLowSurrogate(c) || (isHighSurrogate(c) && (pos == end || !isLowSurrogate(*pos)));
            if (!unpaired)
                return false;
        }
    }
}

// Moves past a number delimited as QJsonDocument does (an optional '-', one '0' or digits, a
// fraction, an exponent, each part possibly empty), and checks that Qt converts it: first as a
// 64-bit integer when it has neither fraction nor exponent, else as a double.
bool skipNumber(const char16_t *&pos, const char16_t *end, bool &integral)
{
    const char16_t *const begin = pos;
    if (pos != end && *pos == u'-')
        ++pos;
    const char16_t *const digitsBegin = pos;
    if (pos != end && *pos == u'0') {
        ++pos;
    } else {
        while (pos != end && isDigit(*pos))
            ++pos;
    }
    const ptrdiff_t integerDigits = pos - digitsBegin;
    ptrdiff_t digits = integerDigits;
    integral = true;
    if (pos != end && *pos == u'.') {
        integral = false;
        const char16_t *const fraction = ++pos;
        while (pos != end && isDigit(*pos))
            ++pos;
        digits += pos - fraction;
    }
    if (pos != end && (*pos == u'e' || *pos == u'E')) {
        integral = false;
        ++pos;
        if (pos != end && (*pos == u'+' || *pos == u'-'))
            ++pos;
        const char16_t *const exponent = pos;
        while (pos != end && isDigit(*pos))
            ++pos;
        if (pos == exponent)
            return false;
    }
    if (digits == 0)
        return false;
    if (integral && integerDigits <= 18)
        return true;
    int64_t integer = 0;
    if (integral && toInt64(begin, pos, integer))
        return true;
    double number = 0;
    return toDouble(begin, pos, number);
}

bool skipWord(const char16_t *&pos, const char16_t *end, const char16_t *word)
{
    for (; *word != u'\0'; ++word, ++pos) {
        if (pos == end || *pos != *word)
            return false;
    }
    return true;
}

bool hasUnpairedSurrogate(const char16_t *pos, const char16_t *end)
{
    for (; pos != end; ++pos) {
        if (!isSurrogate(*pos))
            continue;
        if (!isHighSurrogate(*pos) || pos + 1 == end || !isLowSurrogate(pos[1]))
            return true;
        ++pos;
    }
    return false;
}

// The text of a string the scan accepted (without its quotes), as QJsonDocument decodes the
// toUtf8() of it: escapes resolved, a \u escape of a lone surrogate kept as that unit, an
// unpaired surrogate written as such turned into '?'.
QString decoded(const char16_t *pos, const char16_t *end)
{
    const auto rawSize = static_cast<int>(end - pos);
    QString text(rawSize, Qt::Uninitialized);
    QChar *const first = text.data();
    QChar *out = first;
    while (pos != end) {
        char16_t c = *pos++;
        if (c == u'\\') {
            c = *pos++;
            switch (c) {
            case u'b':
                c = u'\b';
                break;
            case u'f':
                c = u'\f';
                break;
            case u'n':
                c = u'\n';
                break;
            case u'r':
                c = u'\r';
                break;
            case u't':
                c = u'\t';
                break;
            case u'u':
                c = static_cast<char16_t>(hexDigit(pos[0]) << 12 | hexDigit(pos[1]) << 8 |
                                          hexDigit(pos[2]) << 4 | hexDigit(pos[3]));
                pos += 4;
                break;
            default:
                // Any other character stands for itself; a surrogate here has no partner.
                if (isSurrogate(c))
                    c = u'?';
                break;
            }
        } else if (isSurrogate(c)) {
            if (isHighSurrogate(c) && pos != end && isLowSurrogate(*pos)) {
                *out++ = QChar(c);
                c = *pos++;
            } else {
                c = u'?';
            }
        }
        *out++ = QChar(c);
    }
    const auto size = static_cast<int>(out - first);
    text.resize(size);
    if (size != rawSize)
        text.squeeze();
    return text;
}

} // namespace

JsonMembers::JsonMembers(QStringView json, std::initializer_list<const char *> names)
{
    Q_ASSERT(names.size() <= size_t(maxNames));
    for (const char *name : names) {
        if (m_nameCount == maxNames)
            break;
        m_nameLengths[size_t(m_nameCount)] = std::strlen(name);
        m_names[size_t(m_nameCount++)] = name;
    }
    const char16_t *const begin = json.utf16();
    m_isObject = scan(begin, begin + json.size());
    if (!m_isObject)
        m_members = {};
}

QString JsonMembers::string(int name) const
{
    const Member &member = m_members.at(size_t(name));
    if (member.kind != Kind::String)
        return QString();
    const char16_t *const begin = textBegin(member);
    if (member.escaped || (member.surrogates && hasUnpairedSurrogate(begin, member.end)))
        return decoded(begin, member.end);
    return QString(reinterpret_cast<const QChar *>(begin), static_cast<int>(member.end - begin));
}

QStringView JsonMembers::stringView(int name, QString &storage) const
{
    const Member &member = m_members.at(size_t(name));
    if (member.kind != Kind::String)
        return QStringView();
    const char16_t *const begin = textBegin(member);
    if (member.escaped || (member.surrogates && hasUnpairedSurrogate(begin, member.end))) {
        storage = decoded(begin, member.end);
        return storage;
    }
    return QStringView(begin, member.end - begin);
}

const char16_t *JsonMembers::textBegin(const Member &member)
{
    // QJsonDocument keeps a string without escapes as UTF-8 and hands it out through
    // QString::fromUtf8(), which drops one byte-order mark at its start.
    if (!member.escaped && member.begin != member.end && *member.begin == 0xfeff)
        return member.begin + 1;
    return member.begin;
}

int64_t JsonMembers::truncatedInteger(int name) const
{
    const Member &member = m_members.at(size_t(name));
    if (member.kind != Kind::Number)
        return 0;
    int64_t integer = 0;
    if (member.integral && toInt64(member.begin, member.end, integer))
        return integer;
    double number = 0;
    if (!toDouble(member.begin, member.end, number))
        return 0;
    number = std::trunc(number);
    constexpr double limit = 9223372036854775808.0; // 2^63
    if (number < -limit || number >= limit)
        return 0;
    return static_cast<int64_t>(number);
}

int JsonMembers::nameIndex(const char16_t *begin, const char16_t *end, bool escaped) const
{
    QString unescaped;
    if (escaped) {
        unescaped = decoded(begin, end);
        begin = reinterpret_cast<const char16_t *>(unescaped.constData());
        end = begin + unescaped.size();
    }
    const auto length = static_cast<size_t>(end - begin);
    for (int i = 0; i < m_nameCount; ++i) {
        if (m_nameLengths[size_t(i)] != length)
            continue;
        const char *const name = m_names[size_t(i)];
        size_t j = 0;
        while (j < length && begin[j] == static_cast<unsigned char>(name[j]))
            ++j;
        if (j == length)
            return i;
    }
    return -1;
}

bool JsonMembers::scan(const char16_t *pos, const char16_t *const end)
{
    // QJsonDocument skips one byte-order mark at the very start, before any blank.
    if (pos != end && *pos == 0xfeff)
        ++pos;
    skipSpace(pos, end);
    // An array is valid JSON too, but has no members.
    if (pos == end || *pos != u'{')
        return false;

    std::bitset<maxNesting> isObject; // per open container
    int depth = 0;
    int wanted = -1; // the name index of the top-level member whose value comes next
    enum class Expect { Value, Key, Next } expect = Expect::Value;
    for (;;) {
        switch (expect) {
        case Expect::Value: {
            if (pos == end)
                return false;
            Member *const target = wanted >= 0 ? &m_members[size_t(wanted)] : nullptr;
            wanted = -1;
            const char16_t *const begin = pos;
            const char16_t c = *pos;
            if (c == u'{' || c == u'[') {
                if (depth == maxNesting)
                    return false;
                if (target)
                    *target = Member{Kind::Other};
                const bool object = c == u'{';
                isObject[size_t(depth++)] = object;
                ++pos;
                skipSpace(pos, end);
                if (pos != end && *pos == (object ? u'}' : u']')) {
                    ++pos;
                    --depth;
                    expect = Expect::Next;
                } else {
                    expect = object ? Expect::Key : Expect::Value;
                }
                break;
            }
            if (c == u'"') {
                bool escaped = false;
                bool surrogates = false;
                if (!skipString(pos, end, escaped, surrogates))
                    return false;
                if (target)
                    *target = Member{Kind::String, escaped, surrogates, false, begin + 1, pos - 1};
            } else if (c == u't' || c == u'f' || c == u'n') {
                if (!skipWord(pos, end, c == u't' ? u"true" : c == u'f' ? u"false" : u"null"))
                    return false;
                if (target)
                    *target = Member{Kind::Other};
            } else {
                bool integral = false;
                if (!skipNumber(pos, end, integral))
                    return false;
                if (target)
                    *target = Member{Kind::Number, false, false, integral, begin, pos};
            }
            expect = Expect::Next;
            break;
        }
        case Expect::Key: {
            if (pos == end || *pos != u'"')
                return false;
            const char16_t *const begin = pos;
            bool escaped = false;
            bool surrogates = false;
            if (!skipString(pos, end, escaped, surrogates))
                return false;
            if (depth == 1)
                wanted = nameIndex(begin + 1, pos - 1, escaped);
            skipSpace(pos, end);
            if (pos == end || *pos != u':')
                return false;
            ++pos;
            skipSpace(pos, end);
            expect = Expect::Value;
            break;
        }
        case Expect::Next:
            skipSpace(pos, end);
            if (depth == 0)
                return pos == end;
            if (pos == end)
                return false;
            if (*pos == u',') {
                ++pos;
                skipSpace(pos, end);
                expect = isObject[size_t(depth - 1)] ? Expect::Key : Expect::Value;
            } else if (*pos == (isObject[size_t(depth - 1)] ? u'}' : u']')) {
                ++pos;
                --depth;
            } else {
                return false;
            }
            break;
        }
    }
}
