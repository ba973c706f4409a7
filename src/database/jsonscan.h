#pragma once

#include <QString>
#include <QStringView>

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

/// A few top-level members of a JSON object text, read in one pass over its UTF-16 units
/// without building a document. Every result equals what Qt 5.15 gives for
/// QJsonDocument::fromJson(text.toUtf8()).object().value(name): a text QJsonDocument rejects,
/// or whose top level is no object, has no members.
class JsonMembers
{
public:
    static constexpr int maxNames = 3;

    /// `names`: at most maxNames ASCII member names, found by their index in the list.
    /// The text must outlive the object.
    JsonMembers(QStringView json, std::initializer_list<const char *> names);

    /// Whether the text is a JSON object (an empty one too).
    bool isObject() const { return m_isObject; }

    /// QJsonValue::toString(): the member's text; a null QString when it is missing or not a
    /// string.
    QString string(int name) const;
    /// The same text as a view: into the JSON text itself when the string needs no decoding,
    /// otherwise into `storage`.
    QStringView stringView(int name, QString &storage) const;

    /// A number member in whole units: an integral number exactly when it fits 64 bits, others
    /// cut toward zero; 0 when the member is missing, not a number, or beyond 64 bits.
    int64_t truncatedInteger(int name) const;

private:
    enum class Kind : uint8_t { Missing, String, Number, Other };
    struct Member
    {
        Kind kind = Kind::Missing;
        bool escaped = false;    // a string with a backslash
        bool surrogates = false; // a string with a surrogate written as such
        bool integral = false;   // a number without fraction or exponent
        const char16_t *begin = nullptr; // a string without its quotes, or a number
        const char16_t *end = nullptr;
    };

    static const char16_t *textBegin(const Member &member);
    bool scan(const char16_t *pos, const char16_t *end);
    int nameIndex(const char16_t *begin, const char16_t *end, bool escaped) const;

    std::array<const char *, maxNames> m_names{};
    std::array<size_t, maxNames> m_nameLengths{};
    std::array<Member, maxNames> m_members{};
    int m_nameCount = 0;
    bool m_isObject = false;
};
