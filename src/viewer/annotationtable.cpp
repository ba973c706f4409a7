#include "viewer/annotationtable.h"

#include "database/annotationrecord.h"
#include "database/bookinfo.h"
#include "readers/reader.h"

#include <QBrush>
#include <QColor>
#include <QDateTime>
#include <QLocale>
#include <QtDebug>

#include <limits>
#include <utility>

namespace {

const std::vector<AnnotationRecord> &noAnnotations()
{
    static const std::vector<AnnotationRecord> empty;
    return empty;
}

const std::map<int32_t, BookInfo> &noBooks()
{
    static const std::map<int32_t, BookInfo> empty;
    return empty;
}

// The reader stores whatever number it likes in "created"; QDateTime multiplies by 1000
// without a check, so anything beyond this would overflow inside Qt.
constexpr int64_t largestShownSeconds = std::numeric_limits<qint64>::max() / 1000;

QString dateText(int64_t created)
{
    if (created > largestShownSeconds || created < -largestShownSeconds)
        return QString();
    // Qt 5 would take month names from the system locale; the format is fixed and English
    // like the rest of the program, so the C locale names them whatever the user's locale.
    return QLocale::c().toString(QDateTime::fromSecsSinceEpoch(created),
                                 QStringLiteral("d MMM yyyy hh:mm"));
}

struct HighlightColor
{
    const char *letter;
    double red;
    double green;
    double blue;
};

// The 0.4/0.8/0.6 components were single precision from the start; widening them keeps the
// exact colours users know.
const HighlightColor *highlightColor(int32_t code)
{
    static const HighlightColor colors[] = {
        {"Y", 1.0, 1.0, 0.0},
        {"B", 0.0, static_cast<double>(0.4f), 1.0},
        {"Cy", 0.0, static_cast<double>(0.8f), static_cast<double>(0.6f)},
        {"G", 0.0, 1.0, 0.0},
        {"R", 1.0, 0.0, 0.0},
        {"Ma", 1.0, 0.0, 0.75},
    };
    if (code < color_yellow || code > color_magenta)
        return nullptr;
    return &colors[code - color_yellow];
}

QString colorLetter(int32_t code)
{
    const HighlightColor *colour = highlightColor(code);
    return colour ? QString::fromLatin1(colour->letter) : QStringLiteral("?");
}

} // namespace

annotationTable::annotationTable(std::shared_ptr<Reader> reader, QObject *parent)
    : QAbstractTableModel(parent)
    , m_reader(std::move(reader))
    , m_annotations(m_reader ? m_reader->annotations : noAnnotations())
    , m_books(m_reader ? m_reader->books : noBooks())
{}

annotationTable::~annotationTable()
{
    qDebug() << "Deleted annotationTable model";
}

QModelIndex annotationTable::index(int row, int column, const QModelIndex &parent) const
{
    // The base class asks rowCount() and columnCount() through virtual calls; a sort of
    // 100,000 rows comes here millions of times.
    if (parent.isValid() || row < 0 || column < 0 || column >= columnTotal ||
        static_cast<size_t>(row) >= m_annotations.size())
        return QModelIndex();
    return createIndex(row, column);
}

int annotationTable::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_annotations.size());
}

int annotationTable::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : columnTotal;
}

const AnnotationRecord *annotationTable::record(int row) const
{
    if (row < 0 || static_cast<size_t>(row) >= m_annotations.size())
        return nullptr;
    return &m_annotations[static_cast<size_t>(row)];
}

const BookInfo *annotationTable::book(const AnnotationRecord &annotation) const
{
    const auto found = m_books.find(annotation.parentId);
    return found == m_books.end() ? nullptr : &found->second;
}

QVariant annotationTable::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.model() != this || index.column() < 0 ||
        index.column() >= columnTotal)
        return QVariant();
    const AnnotationRecord *annotation = record(index.row());
    if (!annotation)
        return QVariant();
    const int column = index.column();

    switch (role) {
    case Qt::DisplayRole:
        return displayValue(*annotation, column);
    case Qt::EditRole:
        if (column == columnHighlight)
            return annotation->highlightText;
        if (column == columnNote)
            return annotation->noteText;
        return QVariant();
    case Qt::TextAlignmentRole:
        if (column == columnPage || column == columnColor)
            return int(Qt::AlignHCenter | Qt::AlignVCenter);
        return int(Qt::AlignLeft | Qt::AlignVCenter);
    case Qt::BackgroundRole:
        return background(*annotation, column);
    case Qt::UserRole:
        switch (column) {
        case columnDate:
            return static_cast<qlonglong>(annotation->created);
        case columnTitle:
        case columnPage:
            return static_cast<int>(sortKey(index.row(), column));
        case columnHighlight:
            return annotation->isBookmark;
        case columnColor:
            return static_cast<int>(annotation->color);
        default:
            return QVariant();
        }
    default:
        return QVariant();
    }
}

QVariant annotationTable::displayValue(const AnnotationRecord &annotation, int column) const
{
    switch (column) {
    case columnDate:
        return dateText(annotation.created);
    case columnAuthor:
    case columnTitle: {
        // Text even for a missing book, so that a display-role sort compares like with like.
        const BookInfo *info = book(annotation);
        if (!info)
            return QString::number(annotation.parentId);
        return column == columnAuthor ? info->author : info->title;
    }
    case columnPage:
        return annotation.page;
    case columnHighlight:
        if (notesInline && !annotation.noteText.isEmpty())
            return annotation.highlightText + QStringLiteral("\n\n[") + annotation.noteText +
                   QLatin1Char(']');
        return annotation.highlightText;
    case columnNote:
        // With notes inline the note is already in the highlight column; the hidden note
        // column stays empty, so neither the text search nor an export sees a colour letter
        // as if it were a note.
        return notesInline ? QString() : annotation.noteText;
    case columnColor:
        return rowHighlightColorAsText ? colorLetter(annotation.color) : QString();
    default:
        return QVariant();
    }
}

QVariant annotationTable::background(const AnnotationRecord &annotation, int column) const
{
    double alpha = 0.2;
    switch (rowHighlightColorMode) {
    case -1:
        break;
    case columnPage:
    case columnColor:
        if (column != rowHighlightColorMode)
            return QBrush();
        alpha = highlightAlpha;
        break;
    case columnHighlight:
        if (column != columnHighlight && column != columnNote)
            return QBrush();
        break;
    default:
        return QBrush();
    }
    const HighlightColor *colour = highlightColor(annotation.color);
    if (!colour)
        return QBrush();
    return QBrush(QColor::fromRgbF(colour->red, colour->green, colour->blue, alpha));
}

QVariant annotationTable::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole)
        return QVariant();
    if (orientation == Qt::Vertical) {
        if (!rowNumbersByDeviceId)
            return section + 1;
        const AnnotationRecord *annotation = record(section);
        return annotation ? QVariant(annotation->oid) : QVariant();
    }
    switch (section) {
    case columnDate:
        return QStringLiteral("Date");
    case columnAuthor:
        return QStringLiteral("Author");
    case columnTitle:
        return QStringLiteral("Title");
    case columnPage:
        return QStringLiteral("Page");
    case columnHighlight:
        return notesInline ? QStringLiteral("Highlight/Note") : QStringLiteral("Highlight");
    case columnNote:
        return QStringLiteral("Note");
    case columnColor:
        return QString();
    default:
        return section;
    }
}

Qt::ItemFlags annotationTable::flags(const QModelIndex &index) const
{
    // The root is no cell: item views and model testers expect no flags there.
    if (!index.isValid())
        return Qt::NoItemFlags;
    if (index.column() == columnHighlight || index.column() == columnNote)
        return Qt::ItemIsSelectable | Qt::ItemIsEditable | Qt::ItemIsEnabled;
    return Qt::ItemIsSelectable | Qt::ItemIsEnabled;
}

bool annotationTable::setData(const QModelIndex &, const QVariant &, int)
{
    return true;
}

void annotationTable::refreshAll()
{
    if (!m_annotations.empty()) {
        emit dataChanged(index(0, 0),
                         index(static_cast<int>(m_annotations.size()) - 1, columnTotal - 1),
                         {Qt::DisplayRole, Qt::BackgroundRole});
        emit headerDataChanged(Qt::Vertical, 0, static_cast<int>(m_annotations.size()) - 1);
    }
    emit headerDataChanged(Qt::Horizontal, 0, columnTotal - 1);
}

void annotationTable::beginReload()
{
    beginResetModel();
}

void annotationTable::endReload()
{
    endResetModel();
}

void annotationTable::reload()
{
    beginResetModel();
    endResetModel();
}

qint64 annotationTable::sortKey(int row, int column) const
{
    const AnnotationRecord *annotation = record(row);
    if (!annotation)
        return 0;
    switch (column) {
    case columnDate:
        return annotation->created;
    case columnTitle: {
        const BookInfo *info = book(*annotation);
        return info ? info->titleSortIndex : annotation->positionKey;
    }
    case columnPage:
        return annotation->positionKey;
    case columnHighlight:
        return annotation->isBookmark ? 1 : 0;
    default:
        return 0;
    }
}
