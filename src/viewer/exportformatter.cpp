#include "viewer/exportformatter.h"

#include <QAbstractItemModel>
#include <QDateTime>
#include <QDebug>
#include <QHash>
#include <QItemSelectionModel>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// The pieces of each format. %1 author, %2 title, %3 page, %4 highlight, %5 note field; in
// the document header %1 is the export time.
const char plainDocumentHeader[] =
    "Annotations export (%1)\r\n########################################\r\n\r\n";
const char plainBookHeader[] = "%2 (%1)";
const char plainRow[] = "%4 (p. %3) %5\r\n";

const char htmlDocumentHeader[] =
    "<!DOCTYPE html>\r\n<html lang=\"en\"><head><title>Annotations export (%1) </title>\r\n"
    "<meta http-equiv=\"Content-Type\" content=\"text/html;charset=UTF-8\">\r\n"
    "<style>table {width: 100%;} td {vertical-align: top;}</style>\r\n</head>\r\n<body>\r\n";
const char htmlBookHeader[] = "<table><tr><th colspan=3>%2 (%1)</th></tr>\r\n";
const char htmlRow[] = "<tr><td>%3</td><td>%4</td><td>%5</td></tr>\r\n";
const char htmlColumnHeader[] = "<tr><th>Page</th><th>Highlight</th><th>Note</th></tr>\r\n";
const char htmlBookEnd[] = "</table>\r\n";
const char htmlDocumentEnd[] = "</body></html>";

const char csvDocumentHeader[] = "Author;Title;Page;Highlights;Notes\r\n";
const char csvRow[] = "\"%1\";\"%2\";%3;\"%4\";\"%5\"\r\n";

const char timeFormat[] = "dd/MM/yyyy hh:mm:ss";
const int maxRuleLength = 80;
// A guess at one exported row, so that the text rarely has to grow while it is written.
const int expectedRowLength = 192;

bool needsHtmlEscape(const QString &text)
{
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u == '<' || u == '>' || u == '&' || u == '"')
            return true;
    }
    return false;
}

// Markdown keeps its own line ends: the tools people read it in expect "\n".
const char markdownDocumentHeader[] = "# Annotations export (%1)\n\n";

// Characters that start Markdown's inline marks (code, emphasis, links, autolinks and HTML,
// table cells, strikethrough, headings' closing marks, entities) and the escape itself.
bool markdownAlwaysEscaped(QChar c)
{
    const ushort u = c.unicode();
    return u != 0 && u < 128 && std::strchr("\\`*_[]<>|~#&", char(u)) != nullptr;
}

// One line as literal Markdown text: leading blanks dropped (four of them would start a code
// block), inline marks escaped, and a start that would open a list, a heading underline or a
// rule ("-", "+", "=", "1." and "1)") escaped too.
void appendMarkdownLine(QString &out, QStringView line)
{
    int start = 0;
    while (start < line.size() && (line.at(start) == QLatin1Char(' ') || line.at(start) == QLatin1Char('\t')))
        ++start;
    int digitsEnd = start;
    while (digitsEnd < line.size() && line.at(digitsEnd) >= QLatin1Char('0') &&
           line.at(digitsEnd) <= QLatin1Char('9'))
        ++digitsEnd;
    for (int i = start; i < line.size(); ++i) {
        const QChar c = line.at(i);
        const bool listOrRule = i == start && (c == QLatin1Char('-') || c == QLatin1Char('+') ||
                                               c == QLatin1Char('='));
        const bool orderedList = i == digitsEnd && digitsEnd > start &&
                                 (c == QLatin1Char('.') || c == QLatin1Char(')'));
        if (markdownAlwaysEscaped(c) || listOrRule || orderedList)
            out += QLatin1Char('\\');
        out += c;
    }
}

// A text of several lines as Markdown paragraphs, each line behind `prefix` ("> " inside a
// quote). Line breaks stay line breaks; blank lines part paragraphs without leaving the quote.
void appendMarkdownBlock(QString &out, const QString &text, const QString &prefix)
{
    QString normalised = text;
    normalised.replace(QLatin1String("\r\n"), QLatin1String("\n")).replace(QLatin1Char('\r'), QLatin1Char('\n'));
    const QString blankLine = prefix.trimmed();
    bool inParagraph = false;
    bool gap = false;
    for (const QStringRef &line : normalised.splitRef(QLatin1Char('\n'))) {
        if (line.trimmed().isEmpty()) {
            gap = inParagraph;
            continue;
        }
        if (gap) {
            out += QLatin1Char('\n');
            out += blankLine;
            out += QLatin1Char('\n');
        } else if (inParagraph) {
            out += QLatin1String("\\\n"); // a hard line break
        }
        out += prefix;
        appendMarkdownLine(out, line);
        inParagraph = true;
        gap = false;
    }
    if (inParagraph)
        out += QLatin1Char('\n');
}

// A heading or a one-line text: line breaks become blanks.
void appendMarkdownInline(QString &out, const QString &text)
{
    QString oneLine = text;
    oneLine.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    appendMarkdownLine(out, oneLine);
}

} // namespace

ExportFormatter::ExportFormatter(export_format format, const QString &csvSeparator)
    : m_format(format)
{
    switch (m_format) {
    case export_html:
        m_documentHeader = compile(QString::fromUtf8(htmlDocumentHeader));
        m_bookHeader = compile(QString::fromUtf8(htmlBookHeader));
        m_row = compile(QString::fromUtf8(htmlRow));
        m_columnHeader = QString::fromUtf8(htmlColumnHeader);
        m_bookEnd = QString::fromUtf8(htmlBookEnd);
        m_documentEnd = QString::fromUtf8(htmlDocumentEnd);
        break;
    case export_csv: {
        m_documentHeader = compile(QString::fromUtf8(csvDocumentHeader));
        m_row = compile(QString::fromUtf8(csvRow));
        // Only the template's own text changes: a separator such as "%2" must stay literal.
        const QString separator = csvSeparator.isEmpty() ? QStringLiteral(";") : csvSeparator;
        for (Template *tmpl : {&m_documentHeader, &m_row}) {
            for (Piece &piece : *tmpl)
                piece.literal.replace(QLatin1Char(';'), separator);
        }
        break;
    }
    case export_markdown:
        m_documentHeader = compile(QString::fromUtf8(markdownDocumentHeader));
        break;
    case export_plaintext:
    default:
        m_format = export_plaintext;
        m_documentHeader = compile(QString::fromUtf8(plainDocumentHeader));
        m_bookHeader = compile(QString::fromUtf8(plainBookHeader));
        m_row = compile(QString::fromUtf8(plainRow));
        break;
    }
}

ExportFormatter::Template ExportFormatter::compile(const QString &text)
{
    Template result;
    int start = 0;
    for (int i = 0; i + 1 < text.size(); ++i) {
        const QChar digit = text.at(i + 1);
        if (text.at(i) == QLatin1Char('%') && digit >= QLatin1Char('1') &&
            digit <= QLatin1Char('9')) {
            result.append(Piece{text.mid(start, i - start), digit.digitValue()});
            start = i + 2;
            ++i;
        }
    }
    result.append(Piece{text.mid(start), 0});
    return result;
}

void ExportFormatter::appendText(QString &out, const QString &text) const
{
    switch (m_format) {
    case export_html:
        out += needsHtmlEscape(text) ? text.toHtmlEscaped() : text;
        break;
    case export_csv:
        if (text.contains(QLatin1Char('"')))
            out += QString(text).replace(QLatin1Char('"'), QLatin1String("\"\""));
        else
            out += text;
        break;
    default:
        out += text;
        break;
    }
}

void ExportFormatter::appendRowFields(QString &out, const Template &tmpl, const RowTexts &row) const
{
    for (const Piece &piece : tmpl) {
        out += piece.literal;
        switch (piece.field) {
        case 1:
            appendText(out, row.author);
            break;
        case 2:
            appendText(out, row.title);
            break;
        case 3:
            out += QString::number(row.page);
            break;
        case 4:
            appendText(out, row.highlight);
            break;
        case 5:
            if (!row.note.isEmpty()) {
                out += QLatin1Char('[');
                appendText(out, row.note);
                out += QLatin1Char(']');
            }
            break;
        default:
            break;
        }
    }
}

QModelIndexList ExportFormatter::selectedRows(const QItemSelectionModel &selection)
{
    const QAbstractItemModel *model = selection.model();
    if (!model)
        return {};
    const QItemSelection ranges = selection.selection();
    for (const QItemSelectionRange &range : ranges) {
        if (range.parent().isValid())
            return selection.selectedRows(0);
    }
    const int rowCount = model->rowCount();
    const int columnCount = model->columnCount();
    if (rowCount <= 0 || columnCount <= 0)
        return {};

    // QItemSelectionModel::selectedRows() tests every row against every range, which takes
    // minutes for a selection made of many single rows. Here each range is visited twice.
    enum RowState : unsigned char { none, partial, full, rejected, taken };
    std::vector<unsigned char> state(static_cast<size_t>(rowCount), none);
    QHash<int, std::vector<std::pair<int, int>>> partialColumns;
    for (const QItemSelectionRange &range : ranges) {
        const bool wholeRow = range.left() <= 0 && range.right() >= columnCount - 1;
        const int top = std::max(range.top(), 0);
        const int bottom = std::min(range.bottom(), rowCount - 1);
        for (int row = top; row <= bottom; ++row) {
            unsigned char &rowState = state[static_cast<size_t>(row)];
            if (rowState == full)
                continue;
            if (wholeRow) {
                rowState = full;
            } else {
                rowState = partial;
                partialColumns[row].emplace_back(range.left(), range.right());
            }
        }
    }
    // A row pieced together from column ranges counts when every selectable column is in one.
    for (auto it = partialColumns.begin(); it != partialColumns.end(); ++it) {
        unsigned char &rowState = state[static_cast<size_t>(it.key())];
        if (rowState == full)
            continue;
        std::vector<std::pair<int, int>> &spans = it.value();
        std::sort(spans.begin(), spans.end());
        bool complete = true;
        int column = 0;
        for (auto span = spans.cbegin(); column < columnCount && complete; ++column) {
            while (span != spans.cend() && span->second < column)
                ++span;
            const bool covered = span != spans.cend() && span->first <= column;
            if (!covered && (model->flags(model->index(it.key(), column)) & Qt::ItemIsSelectable))
                complete = false;
        }
        rowState = complete ? full : rejected;
    }

    QModelIndexList result;
    result.reserve(rowCount);
    for (const QItemSelectionRange &range : ranges) {
        const int top = std::max(range.top(), 0);
        const int bottom = std::min(range.bottom(), rowCount - 1);
        for (int row = top; row <= bottom; ++row) {
            unsigned char &rowState = state[static_cast<size_t>(row)];
            if (rowState == full) {
                result.append(model->index(row, 0));
                rowState = taken;
            }
        }
    }
    return result;
}

QModelIndexList ExportFormatter::sortRows(const QModelIndexList &rows, export_sortmode sortmode)
{
    // Column whose Qt::UserRole value is a key; -1 stands for the proxy row.
    int primary = -1;
    int secondary = -1;
    switch (sortmode) {
    case export_sort_selection:
        return rows;
    case export_sort_date:
        primary = 0;
        break;
    case export_sort_title_date:
        primary = 2;
        secondary = 0;
        break;
    case export_sort_title_page:
        primary = 2;
        secondary = 3;
        break;
    default:
        qWarning() << "Unknown export sorting mode. Defaulting to GUI sort.";
        break;
    case export_sort_viewer:
        break;
    }

    struct KeyedRow
    {
        qint64 primary;
        qint64 secondary;
        int position;
    };
    const auto key = [](const QModelIndex &index, int column) -> qint64 {
        if (column < 0)
            return index.row();
        // The date key is 64-bit seconds: read as int it wraps in 2038.
        return index.siblingAtColumn(column).data(Qt::UserRole).toLongLong();
    };
    std::vector<KeyedRow> keyed;
    keyed.reserve(static_cast<size_t>(rows.size()));
    for (int i = 0; i < rows.size(); ++i) {
        const QModelIndex &index = rows.at(i);
        keyed.push_back({key(index, primary), secondary < 0 ? 0 : key(index, secondary), i});
    }
    std::sort(keyed.begin(), keyed.end(), [](const KeyedRow &a, const KeyedRow &b) {
        if (a.primary != b.primary)
            return a.primary < b.primary;
        if (a.secondary != b.secondary)
            return a.secondary < b.secondary;
        return a.position < b.position;
    });
    QModelIndexList sorted;
    sorted.reserve(rows.size());
    for (const KeyedRow &row : keyed)
        sorted.append(rows.at(row.position));
    return sorted;
}

int ExportFormatter::write(const QModelIndexList &rows, const QDateTime &exportTime,
                           bool withDocumentHeader, QString &out) const
{
    out.reserve(out.size() + rows.size() * expectedRowLength + 1024);
    if (withDocumentHeader) {
        const QString stamp = exportTime.toString(QLatin1String(timeFormat));
        for (const Piece &piece : m_documentHeader) {
            out += piece.literal;
            if (piece.field == 1)
                out += stamp;
        }
    }

    const QLatin1String lineEnd("\r\n");
    int written = 0;
    qint64 previousBook = 0;
    RowTexts row;
    QString bookHeader;
    for (const QModelIndex &index : rows) {
        if (!index.isValid())
            continue;
        row.author = index.siblingAtColumn(1).data(Qt::DisplayRole).toString();
        const QModelIndex titleIndex = index.siblingAtColumn(2);
        row.title = titleIndex.data(Qt::DisplayRole).toString();
        row.page = index.siblingAtColumn(3).data(Qt::DisplayRole).toInt();
        row.highlight = index.siblingAtColumn(4).data(Qt::DisplayRole).toString();
        row.note = index.siblingAtColumn(5).data(Qt::DisplayRole).toString();
        const qint64 book = titleIndex.data(Qt::UserRole).toLongLong();
        const bool newBook = written == 0 || book != previousBook;

        switch (m_format) {
        case export_plaintext:
            if (newBook) {
                bookHeader.clear();
                appendRowFields(bookHeader, m_bookHeader, row);
                const QString rule(std::min(bookHeader.size(), maxRuleLength), QLatin1Char('='));
                out += lineEnd;
                out += rule;
                out += lineEnd;
                out += bookHeader;
                out += lineEnd;
                out += rule;
                out += lineEnd;
                out += lineEnd;
            } else {
                out += QLatin1String("\r\n---\r\n\r\n");
            }
            break;
        case export_html:
            if (newBook) {
                if (written > 0)
                    out += m_bookEnd;
                appendRowFields(out, m_bookHeader, row);
                out += m_columnHeader;
            }
            break;
        case export_markdown:
            writeMarkdown(out, row, index.siblingAtColumn(0).data(Qt::DisplayRole).toString(),
                          newBook);
            break;
        default:
            break;
        }
        if (m_format != export_markdown)
            appendRowFields(out, m_row, row);
        previousBook = book;
        ++written;
    }
    if (m_format == export_html && written > 0)
        out += m_bookEnd;
    out += m_documentEnd;
    return written;
}

void ExportFormatter::writeMarkdown(QString &out, const RowTexts &row, const QString &date,
                                   bool newBook) const
{
    if (newBook) {
        out += QLatin1String("## ");
        appendMarkdownInline(out, row.title);
        if (!row.author.isEmpty()) {
            out += QLatin1Char(' ');
            out += QChar(0x2014); // em dash
            out += QLatin1Char(' ');
            appendMarkdownInline(out, row.author);
        }
        out += QLatin1String("\n\n");
    }
    appendMarkdownBlock(out, row.highlight, QStringLiteral("> "));
    out += QLatin1String("\n*p. ");
    out += QString::number(row.page);
    if (!date.isEmpty()) {
        out += QLatin1String(", ");
        appendMarkdownInline(out, date);
    }
    out += QLatin1String("*\n\n");
    if (!row.note.trimmed().isEmpty()) {
        appendMarkdownBlock(out, row.note, QString());
        out += QLatin1Char('\n');
    }
}

QString ExportFormatter::text(const QModelIndexList &rows, const QDateTime &exportTime,
                              bool withDocumentHeader) const
{
    QString out;
    write(rows, exportTime, withDocumentHeader, out);
    return out;
}
