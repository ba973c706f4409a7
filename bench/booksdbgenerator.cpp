#include "booksdbgenerator.h"

#include <QAtomicInt>
#include <QStringList>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The reader's TypeIDs are not known to us and the imports never read them; these only fill
// the NOT NULL column.
constexpr int bookTypeId = 2;
constexpr int annotationTypeId = 5;

constexpr int64_t firstTime = 1451606400; // 2016-01-01, the start of the reading history
constexpr int maxTitleUnits = 80;
const char *const paragraphBreak = "\xE2\x80\xA9"; // U+2029, as the reader stores paragraphs

// xoshiro256** seeded through splitmix64: fixed algorithms, unlike the std:: distributions,
// so a seed gives the same file with any compiler and standard library.
class Random
{
public:
    explicit Random(uint64_t seed)
    {
        for (uint64_t &word : m_state) {
            seed += 0x9e3779b97f4a7c15u;
            uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
            word = z ^ (z >> 31);
        }
    }

    uint64_t next()
    {
        const uint64_t result = rotl(m_state[1] * 5, 7) * 9;
        const uint64_t t = m_state[1] << 17;
        m_state[2] ^= m_state[0];
        m_state[3] ^= m_state[1];
        m_state[1] ^= m_state[2];
        m_state[0] ^= m_state[3];
        m_state[2] ^= t;
        m_state[3] = rotl(m_state[3], 45);
        return result;
    }

    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; } // [0, 1)
    bool chance(double probability) { return uniform() < probability; }
    int64_t range(int64_t low, int64_t high) // both included
    {
        return low + static_cast<int64_t>(next() % static_cast<uint64_t>(high - low + 1));
    }
    size_t index(size_t size) { return static_cast<size_t>(next() % size); }
    // Small indexes far more often than large ones, as common words are in prose.
    size_t skewedIndex(size_t size)
    {
        const double u = uniform();
        return std::min(size - 1, static_cast<size_t>(u * u * static_cast<double>(size)));
    }
    double normal()
    {
        const double u1 = 1.0 - uniform();
        const double u2 = uniform();
        return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
    }
    double logNormal(double median, double sigma) { return median * std::exp(sigma * normal()); }
    double exponential(double mean) { return -mean * std::log(1.0 - uniform()); }

private:
    static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

    std::array<uint64_t, 4> m_state{};
};

struct Word
{
    std::string text;
    std::string capitalised;
    int units = 0; // UTF-16 code units; every word here is in the BMP
};

struct Language
{
    std::string code;
    std::vector<Word> words;
    std::vector<Word> firstNames;
    std::vector<Word> lastNames;
    std::string openQuote;
    std::string closeQuote;
};

std::vector<Word> splitWords(const char *list)
{
    std::vector<Word> words;
    const QStringList parts = QString::fromUtf8(list).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        const QString capitalised = part.left(1).toUpper() + part.mid(1);
        words.push_back(
            {part.toStdString(), capitalised.toStdString(), static_cast<int>(part.size())});
    }
    return words;
}

std::vector<Language> makeLanguages()
{
    std::vector<Language> languages;
    languages.push_back(
        {"en",
         splitWords(
             "the of and to a in that it was he his I with as had for you her not on she at "
             "be is by but they which from all were this my have so there one him said what "
             "would no me when their them an been if who more like into could or out then "
             "little upon did about do can up time some we very your only now man know any "
             "its our over before after long old must great such night again those door eyes "
             "hand house world life something nothing thought moment silence light window "
             "river morning letter voice heart mind garden shadow winter city road stranger "
             "memory question answer truth people always never perhaps quietly suddenly "
             "slowly remembered looked turned walked wondered whispered understood believed "
             "don't couldn't it's wasn't mother father brother sister friend captain doctor"),
         splitWords("James Mary John Elizabeth Robert Margaret William Anne Thomas Charlotte "
                    "George Virginia Henry Edith Arthur Jane"),
         splitWords("Smith Brontë Austen Dickens Hardy Eliot Woolf Conrad Orwell Forster "
                    "Trollope Gaskell Wells Kipling Stevenson Lawrence Joyce Shelley Collins"),
         "\xE2\x80\x9C", "\xE2\x80\x9D"});
    languages.push_back(
        {"ru",
         splitWords(
             "и в не что он на я с как а то все она так его но да ты к у же вы за бы по "
             "только ее мне было вот от меня еще нет о из ему теперь когда даже ну вдруг ли "
             "если уже или ни быть был него до вас нибудь опять уж вам ведь там потом себя "
             "ничего ей может они тут где есть надо ней для мы тебя их чем была сам чтоб без "
             "будто человек чего раз тоже себе под жизнь будет тогда кто этот говорил того "
             "потому этого какой совсем ним здесь этом один почти мой тем чтобы нее кажется "
             "сейчас были куда зачем сказать всех никогда сегодня можно при наконец два об "
             "другой хоть после над больше тот через эти нас про всего них какая много разве "
             "сказала три эту моя впрочем хорошо свою этой перед иногда лучше чуть том нельзя "
             "такой им более всегда конечно всю между душа сердце глаза дорога город ночь"),
         splitWords("Лев Фёдор Антон Михаил Иван Анна Марина Николай Александр Борис Ольга "
                    "Людмила Сергей Владимир"),
         splitWords("Толстой Достоевский Чехов Булгаков Тургенев Ахматова Цветаева Гоголь "
                    "Пушкин Набоков Пастернак Платонов Шукшин Улицкая Пелевин"),
         "\xC2\xAB", "\xC2\xBB"});
    languages.push_back(
        {"de",
         splitWords(
             "der die und in den von zu das mit sich des auf für ist im dem nicht ein eine "
             "als auch es an werden aus er hat dass sie nach wird bei einer um am sind noch "
             "wie einem über einen so zum war haben nur oder aber vor zur bis mehr durch man "
             "dann soll ich wir ihr ihm ihn schon wenn doch immer wieder müssen können "
             "Mädchen Straße Tür Fenster Nacht Stadt Leben Herz Hände Augen Stimme Zeit "
             "Brief Wald Fluss Haus Welt Gedanke Erinnerung Frühling Bücher Mutter Vater "
             "ging sah dachte sagte fühlte öffnete schließlich plötzlich natürlich "
             "vielleicht ganz großen kleine schöne dunkle alte müde fröhlich"),
         splitWords("Thomas Hermann Stefan Günter Heinrich Ingeborg Christa Franz Rainer "
                    "Siegfried Jürgen Ilse"),
         splitWords("Mann Hesse Zweig Grass Böll Kafka Fontane Goethe Schiller Süskind "
                    "Lenz Wolf Kästner Müller Frisch Dürrenmatt"),
         "\xE2\x80\x9E", "\xE2\x80\x9C"});
    languages.push_back(
        {"fr",
         splitWords(
             "le de un être et à il avoir ne je son que se qui ce dans en du elle au pour pas "
             "que vous par sur faire plus dire me on mon lui nous comme mais pouvoir avec tout "
             "y aller voir en bien où sans tu ou leur homme si deux mari moi vouloir te femme "
             "venir quand grand celui notre devoir là jour prendre même votre rien petit encore "
             "aussi quelque dont tout mer trouver donner temps ça peu même falloir sous parler "
             "alors après déjà été très père mère cœur âme fenêtre château forêt rivière "
             "lumière silence souvenir peut-être toujours jamais pensée été hiver"),
         splitWords("Marcel Albert Gustave Victor Émile Marguerite Simone Honoré Guy Colette "
                    "Stendhal Françoise"),
         splitWords("Proust Camus Flaubert Hugo Zola Duras Beauvoir Balzac Maupassant Sagan "
                    "Dumas Verne Céline Gide Modiano"),
         "\xC2\xAB\xC2\xA0", "\xC2\xA0\xC2\xBB"});
    return languages;
}

// The reader's colour names, the misspelt "cian" included, weighted as users pick them.
const std::array<std::pair<const char *, double>, 8> colours{{{"yellow", 0.45},
                                                              {"cian", 0.10},
                                                              {"cyan", 0.05},
                                                              {"green", 0.12},
                                                              {"red", 0.10},
                                                              {"blue", 0.08},
                                                              {"magenta", 0.05},
                                                              {"gray", 0.05}}};

const char *pickColour(Random &random)
{
    double u = random.uniform();
    for (const auto &[name, weight] : colours) {
        if (u < weight)
            return name;
        u -= weight;
    }
    return colours[0].first;
}

const std::array<const char *, 6> folders{{"/mnt/ext1/Books", "/mnt/ext1/Downloads",
                                           "/mnt/ext1/Books/Fiction", "/mnt/ext1/Books/Non-fiction",
                                           "/mnt/ext2/Books", "/mnt/ext1/Dropbox PocketBook"}};

void appendJsonString(std::string &out, const std::string &text)
{
    out += '"';
    for (const char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                static const char hex[] = "0123456789abcdef";
                out += "\\u00";
                out += hex[(c >> 4) & 0xf];
                out += hex[c & 0xf];
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

std::string jsonText(const std::string &text)
{
    std::string json = "{\"text\":";
    appendJsonString(json, text);
    json += '}';
    return json;
}

class Prose
{
public:
    Prose(const Language &language, Random &random)
        : m_language(language)
        , m_random(random)
    {}

    // Sentences of the language until `targetUnits` UTF-16 units are reached; readers mark
    // passages that start and stop anywhere, so the last sentence may stay open.
    std::string make(int targetUnits, bool paragraphs, int &units)
    {
        std::string text;
        units = 0;
        bool sentenceStart = true;
        bool inQuote = false;
        bool straightQuotes = false;
        int wordsInSentence = 0;
        while (units < targetUnits) {
            if (!text.empty()) {
                if (sentenceStart && paragraphs && m_random.chance(0.1)) {
                    text += paragraphBreak;
                } else if (!sentenceStart && m_random.chance(0.015)) {
                    text += " \xE2\x80\x94 "; // em dash
                    units += 2;
                } else {
                    text += ' ';
                }
                ++units;
            }
            if (sentenceStart && m_random.chance(0.08)) {
                inQuote = true;
                straightQuotes = m_language.code == "en" && m_random.chance(0.3);
                text += straightQuotes ? std::string("\"") : m_language.openQuote;
                units += straightQuotes ? 1 : unitsOf(m_language.openQuote);
            }
            const Word &word = m_language.words[m_random.skewedIndex(m_language.words.size())];
            text += sentenceStart ? word.capitalised : word.text;
            units += word.units;
            sentenceStart = false;
            ++wordsInSentence;
            if (wordsInSentence >= 3 && m_random.chance(0.09)) {
                const double u = m_random.uniform();
                text += u < 0.85 ? "." : u < 0.92 ? "?" : u < 0.97 ? "!" : "\xE2\x80\xA6";
                ++units;
                if (inQuote) {
                    text += straightQuotes ? std::string("\"") : m_language.closeQuote;
                    units += straightQuotes ? 1 : unitsOf(m_language.closeQuote);
                    inQuote = false;
                }
                sentenceStart = true;
                wordsInSentence = 0;
            } else if (m_random.chance(0.06)) {
                text += ',';
                ++units;
            }
        }
        return text;
    }

    std::string title(int targetUnits, int &units)
    {
        std::string text;
        units = 0;
        bool subtitle = m_random.chance(0.15);
        while (units < targetUnits) {
            const Word &word = m_language.words[m_random.skewedIndex(m_language.words.size())];
            const bool capital = units == 0 || m_language.code == "en";
            if (units + 2 + word.units > maxTitleUnits)
                break;
            if (units > 0) {
                if (subtitle && units > targetUnits / 2) {
                    text += ':';
                    ++units;
                    subtitle = false;
                }
                text += ' ';
                ++units;
            }
            text += capital ? word.capitalised : word.text;
            units += word.units;
        }
        return text;
    }

private:
    static int unitsOf(const std::string &utf8)
    {
        return static_cast<int>(std::count_if(utf8.begin(), utf8.end(), [](char c) {
            return (static_cast<unsigned char>(c) & 0xc0) != 0x80;
        }));
    }

    const Language &m_language;
    Random &m_random;
};

struct Book
{
    size_t language = 0;
    std::string title;
    std::string author;
    std::string sortAuthor;
    std::string fileName;
    size_t folder = 0;
    int64_t fileSize = 0;
    int64_t oid = 0; // of the live book item, once written
    int pages = 0;
    int quota = 0; // live annotations still to write
    int step = 1;  // largest page step between two annotations
    int page = 0;
};

QVariant number(int64_t value)
{
    return QVariant(static_cast<qlonglong>(value));
}

QVariant text(const std::string &value)
{
    return QVariant(QString::fromStdString(value));
}

QString uniqueConnectionName()
{
    static QAtomicInt counter;
    return QStringLiteral("booksdbgenerator-%1").arg(counter.fetchAndAddRelaxed(1));
}

// Writes everything through one connection, in one transaction, with statements prepared once.
class Filler
{
public:
    Filler(QSqlDatabase db, Random &random, BooksDbContent &content)
        : m_db(std::move(db))
        , m_random(random)
        , m_content(content)
        , m_languages(makeLanguages())
    {}

    bool fill(int bookCount, int annotationCount);
    const QString &error() const { return m_error; }

private:
    bool exec(const QString &sql);
    bool prepare(QSqlQuery &query, const QString &sql);
    bool run(QSqlQuery &query);
    std::vector<Book> makeBooks(int bookCount, int annotationCount);
    std::string uuid();
    bool insertItem(int64_t parent, int typeId, int state, int64_t timeAlt);
    bool insertBookItem(const Book &book, int state, int64_t time);
    bool insertBook(Book &book, int64_t time);
    bool insertAnnotation(Book &book, int state, int64_t created);

    QSqlDatabase m_db;
    Random &m_random;
    BooksDbContent &m_content;
    std::vector<Language> m_languages;
    QString m_error;
    int64_t m_nextOid = 1;
    QSqlQuery m_item{m_db};
    QSqlQuery m_tag{m_db};
    QSqlQuery m_annotationTags{m_db};
    QSqlQuery m_bookRow{m_db};
    QSqlQuery m_fileRow{m_db};
};

bool Filler::exec(const QString &sql)
{
    QSqlQuery query(m_db);
    if (query.exec(sql))
        return true;
    m_error = sql + QStringLiteral(": ") + query.lastError().text();
    return false;
}

bool Filler::prepare(QSqlQuery &query, const QString &sql)
{
    if (query.prepare(sql))
        return true;
    m_error = sql + QStringLiteral(": ") + query.lastError().text();
    return false;
}

bool Filler::run(QSqlQuery &query)
{
    if (query.exec())
        return true;
    m_error = query.lastQuery() + QStringLiteral(": ") + query.lastError().text();
    return false;
}

std::vector<Book> Filler::makeBooks(int bookCount, int annotationCount)
{
    std::vector<Book> books(static_cast<size_t>(bookCount));
    std::vector<double> cumulative;
    double total = 0;
    for (Book &book : books) {
        const double u = m_random.uniform();
        book.language = u < 0.6 ? 0 : u < 0.8 ? 1 : u < 0.92 ? 2 : 3;
        const Language &language = m_languages[book.language];
        Prose prose(language, m_random);
        int units = 0;
        const int titleTarget = static_cast<int>(
            std::clamp(m_random.logNormal(28, 0.45), 10.0, static_cast<double>(maxTitleUnits)));
        book.title = prose.title(titleTarget, units);
        if (m_random.chance(0.97)) {
            const Word &first = language.firstNames[m_random.index(language.firstNames.size())];
            const Word &last = language.lastNames[m_random.index(language.lastNames.size())];
            book.author = first.text + " " + last.text;
            book.sortAuthor = last.text + ", " + first.text;
            if (m_random.chance(0.08)) {
                const Word &second = language.lastNames[m_random.index(language.lastNames.size())];
                const Word &secondFirst =
                    language.firstNames[m_random.index(language.firstNames.size())];
                book.author += ", " + secondFirst.text + " " + second.text;
            }
        }
        const double e = m_random.uniform();
        const char *ext = e < 0.7 ? "epub" : e < 0.85 ? "fb2" : e < 0.95 ? "pdf" : "mobi";
        book.fileName = book.title + "." + ext;
        book.folder = m_random.index(folders.size());
        book.fileSize = m_random.range(200000, 20000000);
        book.pages = static_cast<int>(m_random.range(80, 1200));
        book.page = static_cast<int>(m_random.range(0, 5));
        // Log-normal weights: a few books carry thousands of annotations, most a handful.
        total += m_random.logNormal(1.0, 1.6);
        cumulative.push_back(total);
    }
    for (int i = 0; i < annotationCount; ++i) {
        const double target = m_random.uniform() * total;
        const auto found = std::upper_bound(cumulative.begin(), cumulative.end(), target);
        const auto at = std::min<ptrdiff_t>(found - cumulative.begin(), bookCount - 1);
        ++books[static_cast<size_t>(at)].quota;
    }
    for (Book &book : books)
        book.step = std::max(1, 2 * book.pages / std::max(1, book.quota));
    return books;
}

std::string Filler::uuid()
{
    static const char hex[] = "0123456789abcdef";
    std::string id = "xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx";
    for (char &c : id) {
        if (c == 'x')
            c = hex[m_random.index(16)];
        else if (c == 'y')
            c = hex[8 + m_random.index(4)];
    }
    return id;
}

bool Filler::insertItem(int64_t parent, int typeId, int state, int64_t timeAlt)
{
    m_item.bindValue(0, number(m_nextOid));
    m_item.bindValue(1, parent > 0 ? number(parent) : QVariant(QVariant::LongLong));
    m_item.bindValue(2, typeId);
    m_item.bindValue(3, state);
    m_item.bindValue(4, number(timeAlt));
    m_item.bindValue(5, text(uuid()));
    if (!run(m_item))
        return false;
    if (state != 0)
        ++m_content.deletedItems;
    ++m_nextOid;
    return true;
}

bool Filler::insertBookItem(const Book &book, int state, int64_t time)
{
    const int64_t oid = m_nextOid;
    if (!insertItem(0, bookTypeId, state, time))
        return false;
    std::vector<std::pair<int, std::string>> tags;
    if (!book.author.empty()) {
        tags.emplace_back(16, book.author);
        tags.emplace_back(17, book.sortAuthor);
    }
    if (!book.title.empty())
        tags.emplace_back(34, book.title);
    tags.emplace_back(46, m_languages[book.language].code);
    if (m_random.chance(0.2))
        tags.emplace_back(51, std::to_string(m_random.range(1, 12)));
    for (const auto &[tagId, value] : tags) {
        m_tag.bindValue(0, number(oid));
        m_tag.bindValue(1, tagId);
        m_tag.bindValue(2, text(value));
        m_tag.bindValue(3, number(time));
        if (!run(m_tag))
            return false;
        ++m_content.tagRows;
    }
    return true;
}

bool Filler::insertBook(Book &book, int64_t time)
{
    // Now and then the reader keeps a deleted duplicate of a book it indexed twice.
    if (m_random.chance(0.01) && !insertBookItem(book, 2, time))
        return false;
    book.oid = m_nextOid;
    if (!insertBookItem(book, 0, time))
        return false;
    ++m_content.books;
    m_bookRow.bindValue(0, number(book.oid));
    m_bookRow.bindValue(1, text(book.title));
    m_bookRow.bindValue(2, text(book.author));
    m_bookRow.bindValue(3, number(time));
    m_fileRow.bindValue(0, number(book.oid));
    m_fileRow.bindValue(1, static_cast<int>(book.folder) + 1);
    m_fileRow.bindValue(2, text(book.fileName));
    m_fileRow.bindValue(3, number(book.fileSize));
    m_fileRow.bindValue(4, number(time));
    return run(m_bookRow) && run(m_fileRow);
}

bool Filler::insertAnnotation(Book &book, int state, int64_t created)
{
    const int64_t oid = m_nextOid;
    const int64_t timeAlt =
        m_random.chance(0.1) ? created + m_random.range(60, 30 * 86400) : created;
    if (!insertItem(book.oid, annotationTypeId, state, timeAlt))
        return false;

    const double u = m_random.uniform();
    const char *kind = u < 0.7 ? "highlight" : u < 0.9 ? "note" : "bookmark";
    const bool bookmark = u >= 0.9;

    book.page =
        std::min(book.pages - 1, book.page + static_cast<int>(m_random.range(0, book.step)));
    const int offset = static_cast<int>(m_random.range(0, 2500));
    const int chapter = book.page * 20 / book.pages;
    const std::string cfi = "##epubcfi(/6/" + std::to_string(2 * chapter + 8) + "!/4/2/" +
                            std::to_string(2 * m_random.range(1, 200)) + "/1:";
    const auto anchor = [&](int page, int offs) {
        return "pbr:/word?page=" + std::to_string(page) + "&offs=" + std::to_string(offs) + cfi +
               std::to_string(offs % 400) + ")";
    };
    const std::string begin = anchor(book.page, offset);

    std::string anchorJson = "{\"anchor\":";
    appendJsonString(anchorJson, begin);
    anchorJson += ",\"created\":" + std::to_string(created) + "}";

    Prose prose(m_languages[book.language], m_random);
    std::string quotation;
    if (bookmark) {
        quotation = jsonText("Bookmark");
        m_content.highlightChars += 8;
    } else {
        const int target =
            m_random.chance(0.01)
                ? static_cast<int>(m_random.range(1000, 5000))
                : static_cast<int>(std::clamp(m_random.logNormal(160, 0.7), 20.0, 1500.0));
        int units = 0;
        const std::string highlighted = prose.make(target, target > 250, units);
        m_content.highlightChars += units;
        quotation = "{\"begin\":";
        appendJsonString(quotation, begin);
        quotation += ",\"end\":";
        appendJsonString(quotation, anchor(book.page + (offset + units > 2500 ? 1 : 0),
                                           (offset + units) % 2500));
        quotation += ",\"text\":";
        appendJsonString(quotation, highlighted);
        quotation += '}';
    }

    std::string note = "{}";
    if (!bookmark && kind[0] == 'n') {
        Prose noteProse(m_languages[m_random.chance(0.3) ? 0 : book.language], m_random);
        const int target =
            m_random.chance(0.01)
                ? static_cast<int>(m_random.range(800, 2500))
                : static_cast<int>(std::clamp(m_random.logNormal(50, 0.8), 3.0, 800.0));
        int units = 0;
        note = jsonText(noteProse.make(target, false, units));
    }

    const std::array<std::string, 5> values{anchorJson, kind, quotation, note,
                                            pickColour(m_random)};
    const int64_t edited = std::max(created, timeAlt);
    for (size_t i = 0; i < values.size(); ++i) {
        m_annotationTags.bindValue(static_cast<int>(3 * i), number(oid));
        m_annotationTags.bindValue(static_cast<int>(3 * i + 1), text(values[i]));
        m_annotationTags.bindValue(static_cast<int>(3 * i + 2), number(i == 0 ? created : edited));
    }
    if (!run(m_annotationTags))
        return false;
    m_content.tagRows += static_cast<int64_t>(values.size());
    if (state == 0) {
        ++m_content.annotations;
        ++(bookmark         ? m_content.bookmarks
           : kind[0] == 'n' ? m_content.notes
                            : m_content.highlights);
    }
    return true;
}

bool Filler::fill(int bookCount, int annotationCount)
{
    // A file made from scratch needs no crash safety, and the reader's own databases use the
    // default rollback journal, which is what stays in the file's header.
    if (!exec(QStringLiteral("PRAGMA synchronous = OFF")) ||
        !exec(QStringLiteral("PRAGMA journal_mode = MEMORY")) || !exec(QStringLiteral("BEGIN")))
        return false;

    const char *const schema[] = {
        "CREATE TABLE TypeNames (OID INTEGER PRIMARY KEY, TypeName TEXT NOT NULL UNIQUE)",
        "CREATE TABLE Items (OID INTEGER PRIMARY KEY, ParentID INTEGER, TypeID INTEGER NOT NULL, "
        "State INTEGER NOT NULL DEFAULT 0, TimeAlt INTEGER NOT NULL DEFAULT 0, HashUUID TEXT)",
        "CREATE TABLE TagNames (OID INTEGER PRIMARY KEY, TagName TEXT NOT NULL UNIQUE, "
        "Opts INTEGER NOT NULL DEFAULT 0)",
        "CREATE TABLE Tags (OID INTEGER PRIMARY KEY, ItemID INTEGER NOT NULL, "
        "TagID INTEGER NOT NULL, Val TEXT, TimeEdt INTEGER NOT NULL DEFAULT 0, "
        "UNIQUE (ItemID, TagID))",
        "CREATE TABLE Books (OID INTEGER PRIMARY KEY, Title TEXT, Authors TEXT, "
        "TimeAdd INTEGER NOT NULL DEFAULT 0)",
        "CREATE TABLE Paths (OID INTEGER PRIMARY KEY, Path TEXT NOT NULL UNIQUE)",
        "CREATE TABLE Files (OID INTEGER PRIMARY KEY, BookID INTEGER NOT NULL, "
        "PathID INTEGER NOT NULL, Name TEXT NOT NULL, Size INTEGER NOT NULL DEFAULT 0, "
        "TimeAlt INTEGER NOT NULL DEFAULT 0)",
        "INSERT INTO TypeNames (OID, TypeName) VALUES (2, 'book'), (5, 'annotation')",
        "INSERT INTO TagNames (OID, TagName) VALUES (16, 'author'), (17, 'firstauthor'), "
        "(34, 'title'), (46, 'language'), (51, 'series'), (101, 'anchor'), (102, 'kind'), "
        "(104, 'quotation'), (105, 'note'), (106, 'color')"};
    for (const char *statement : schema) {
        if (!exec(QString::fromLatin1(statement)))
            return false;
    }
    QSqlQuery path(m_db);
    if (!prepare(path, QStringLiteral("INSERT INTO Paths (OID, Path) VALUES (?, ?)")))
        return false;
    for (size_t i = 0; i < folders.size(); ++i) {
        path.bindValue(0, static_cast<int>(i) + 1);
        path.bindValue(1, QString::fromUtf8(folders[i]));
        if (!run(path))
            return false;
    }

    if (!prepare(m_item, QStringLiteral("INSERT INTO Items (OID, ParentID, TypeID, State, "
                                        "TimeAlt, HashUUID) VALUES (?, ?, ?, ?, ?, ?)")) ||
        !prepare(m_tag, QStringLiteral("INSERT INTO Tags (ItemID, TagID, Val, TimeEdt) "
                                       "VALUES (?, ?, ?, ?)")) ||
        !prepare(m_annotationTags,
                 QStringLiteral("INSERT INTO Tags (ItemID, TagID, Val, TimeEdt) VALUES "
                                "(?, 101, ?, ?), (?, 102, ?, ?), (?, 104, ?, ?), "
                                "(?, 105, ?, ?), (?, 106, ?, ?)")) ||
        !prepare(m_bookRow, QStringLiteral("INSERT INTO Books (OID, Title, Authors, TimeAdd) "
                                           "VALUES (?, ?, ?, ?)")) ||
        !prepare(m_fileRow, QStringLiteral("INSERT INTO Files (BookID, PathID, Name, Size, "
                                           "TimeAlt) VALUES (?, ?, ?, ?, ?)")))
        return false;

    std::vector<Book> books = makeBooks(bookCount, annotationCount);
    std::vector<size_t> order(books.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    for (size_t i = order.size(); i > 1; --i)
        std::swap(order[i - 1], order[m_random.index(i)]);

    // Items get their OIDs in the order the reader made them: a book when it is first opened,
    // its annotations over reading sessions that interleave with the other books in progress.
    int64_t now = firstTime;
    size_t opened = 0;
    std::vector<size_t> reading;
    while (opened < order.size() || !reading.empty()) {
        while (opened < order.size() &&
               (reading.empty() || (reading.size() < 3 && m_random.chance(0.3)))) {
            const size_t next = order[opened++];
            if (!insertBook(books[next], now))
                return false;
            if (books[next].quota > 0)
                reading.push_back(next);
            now += m_random.range(60, 3600);
        }
        if (reading.empty())
            continue;
        const size_t slot = m_random.index(reading.size());
        Book &book = books[reading[slot]];
        const int session = std::min(book.quota, 1 + static_cast<int>(m_random.exponential(5.0)));
        for (int i = 0; i < session; ++i) {
            if (m_random.chance(0.01)) {
                if (!insertAnnotation(book, 2, now))
                    return false;
            }
            if (!insertAnnotation(book, 0, now))
                return false;
            --book.quota;
            now += m_random.range(20, 900);
        }
        if (book.quota == 0)
            reading.erase(reading.begin() + static_cast<ptrdiff_t>(slot));
        now += static_cast<int64_t>(m_random.exponential(4 * 3600.0));
    }
    return exec(QStringLiteral("COMMIT"));
}

} // namespace

BooksDbGenerator::BooksDbGenerator(int books, int annotations, uint64_t seed)
    : m_books(books)
    , m_annotations(annotations)
    , m_seed(seed)
{}

bool BooksDbGenerator::write(const fs::path &out)
{
    m_content = {};
    m_error.clear();
    if (m_books < 0 || m_annotations < 0 || (m_books == 0 && m_annotations > 0)) {
        m_error = QStringLiteral("annotations need at least one book");
        return false;
    }
    std::error_code ec;
    if (fs::exists(out, ec)) {
        m_error = QStringLiteral("%1 exists already").arg(QString::fromStdString(out.string()));
        return false;
    }

    const QString connection = uniqueConnectionName();
    bool written = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(QString::fromStdString(out.string()));
        if (!db.open()) {
            m_error = db.lastError().text();
        } else {
            Random random(m_seed);
            Filler filler(db, random, m_content);
            written = filler.fill(m_books, m_annotations);
            if (!written)
                m_error = filler.error();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(connection);
    if (!written) {
        fs::remove(out, ec);
        m_content = {};
    }
    return written;
}
