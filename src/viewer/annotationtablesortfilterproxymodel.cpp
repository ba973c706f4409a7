#include "viewer/annotationtablesortfilterproxymodel.h"

#include "viewer/annotationtable.h"

#include <QtDebug>

namespace {

// Qt applies a filter change interval by interval, each costing a pass over all rows: a
// search that hides every other row of 100,000 took seconds. Beyond this many
// (changed rows x rows) the mapping is rebuilt in one pass instead.
constexpr qint64 incrementalFilterLimit = 4'000'000;

bool isIntegerKeyColumn(int column)
{
    return column == annotationTable::columnDate || column == annotationTable::columnTitle ||
           column == annotationTable::columnPage || column == annotationTable::columnHighlight;
}

} // namespace

annotationTableSortFilterProxyModel::annotationTableSortFilterProxyModel(QObject *parent)
    : QSortFilterProxyModel(parent)
{
    QSortFilterProxyModel::setSortCaseSensitivity(Qt::CaseInsensitive);
    compileSearchExpression();
}

annotationTableSortFilterProxyModel::~annotationTableSortFilterProxyModel()
{
    qDebug() << "Deleted annotationSortFilterProxy model";
}

void annotationTableSortFilterProxyModel::setSourceModel(QAbstractItemModel *sourceModel)
{
    if (sourceModel == QSortFilterProxyModel::sourceModel())
        return;
    for (const QMetaObject::Connection &connection : m_sourceConnections)
        disconnect(connection);
    m_sourceConnections.clear();
    dropSortKeys();
    m_table = qobject_cast<const annotationTable *>(sourceModel);
    if (sourceModel) {
        // Connected before the base class connects its own handlers, which sort with the
        // keys: ours must run first.
        const auto drop = [this] { dropSortKeys(); };
        m_sourceConnections = {
            connect(sourceModel, &QAbstractItemModel::dataChanged, this, drop),
            connect(sourceModel, &QAbstractItemModel::layoutAboutToBeChanged, this, drop),
            connect(sourceModel, &QAbstractItemModel::layoutChanged, this, drop),
            connect(sourceModel, &QAbstractItemModel::modelAboutToBeReset, this, drop),
            connect(sourceModel, &QAbstractItemModel::modelReset, this, drop),
            connect(sourceModel, &QAbstractItemModel::rowsAboutToBeInserted, this, drop),
            connect(sourceModel, &QAbstractItemModel::rowsInserted, this, drop),
            connect(sourceModel, &QAbstractItemModel::rowsAboutToBeRemoved, this, drop),
            connect(sourceModel, &QAbstractItemModel::rowsRemoved, this, drop),
            connect(sourceModel, &QAbstractItemModel::rowsAboutToBeMoved, this, drop),
            connect(sourceModel, &QAbstractItemModel::rowsMoved, this, drop),
            connect(sourceModel, &QObject::destroyed, this,
                    [this] {
                        m_table = nullptr;
                        dropSortKeys();
                    }),
        };
    }
    QSortFilterProxyModel::setSourceModel(sourceModel);
}

void annotationTableSortFilterProxyModel::setSearchCaseSensitivity(Qt::CaseSensitivity cs)
{
    if (cs == searchCaseSensitivity)
        return;
    searchCaseSensitivity = cs;
    compileSearchExpression();
    invalidateFilter();
}

void annotationTableSortFilterProxyModel::setSearchPattern(const QString &pattern, bool force)
{
    if (!force && pattern == searchPattern)
        return;
    searchPattern = pattern;
    compileSearchExpression();
    invalidateFilter();
}

void annotationTableSortFilterProxyModel::setSortCaseSensitivity(Qt::CaseSensitivity cs)
{
    if (cs == sortCaseSensitivity())
        return;
    QSortFilterProxyModel::setSortCaseSensitivity(cs);
    invalidate();
}

void annotationTableSortFilterProxyModel::setShowBookmarks(bool show)
{
    if (show == showBookmarks)
        return;
    showBookmarks = show;
    invalidateFilter();
}

void annotationTableSortFilterProxyModel::setAuthorFilter(const QString &text)
{
    if (text == authorFilter)
        return;
    authorFilter = text;
    invalidateFilter();
}

void annotationTableSortFilterProxyModel::setTitleFilter(const QString &text)
{
    if (text == titleFilter)
        return;
    titleFilter = text;
    invalidateFilter();
}

void annotationTableSortFilterProxyModel::compileSearchExpression()
{
    searchExpression.setPattern(searchPattern);
    searchExpression.setPatternOptions(searchCaseSensitivity == Qt::CaseSensitive
                                           ? QRegularExpression::NoPatternOption
                                           : QRegularExpression::CaseInsensitiveOption);
    // Compiles now rather than on the first of many thousand rows.
    searchExpression.optimize();
}

void annotationTableSortFilterProxyModel::invalidateFilter()
{
    const annotationTable *table = m_table;
    if (!table || !dynamicSortFilter()) {
        QSortFilterProxyModel::invalidateFilter();
        return;
    }

    const int sourceRows = table->rowCount();
    std::vector<int> previousRank(static_cast<size_t>(sourceRows), -1);
    const int proxyRows = rowCount();
    for (int row = 0; row < proxyRows; ++row) {
        const int sourceRow = mapToSource(index(row, 0)).row();
        if (sourceRow >= 0 && sourceRow < sourceRows)
            previousRank[static_cast<size_t>(sourceRow)] = row;
    }
    std::vector<char> accepted(static_cast<size_t>(sourceRows));
    qint64 changes = 0;
    for (int row = 0; row < sourceRows; ++row) {
        const bool accept = acceptsRow(row, QModelIndex());
        accepted[static_cast<size_t>(row)] = accept;
        if (accept != (previousRank[static_cast<size_t>(row)] >= 0))
            ++changes;
    }
    if (changes == 0)
        return;

    // The verdicts are known now; the base class asks for them once more either way.
    m_accepted = std::move(accepted);
    if (changes * sourceRows <= incrementalFilterLimit) {
        QSortFilterProxyModel::invalidateFilter();
    } else {
        // A rebuilt mapping is sorted afresh from the source order, so ties go by the
        // previous order: rows shown before keep theirs, as Qt's row-by-row update keeps
        // it (that is what lets "title, then date" survive a search), and rows shown anew
        // follow the equal ones in source order.
        m_previousRank = std::move(previousRank);
        m_keepPreviousOrder = true;
        invalidate();
        rowCount();
        m_keepPreviousOrder = false;
        m_previousRank = {};
    }
    m_accepted = {};
}

bool annotationTableSortFilterProxyModel::filterAcceptsRow(int sourceRow,
                                                           const QModelIndex &sourceParent) const
{
    if (!m_accepted.empty() && !sourceParent.isValid() && sourceRow >= 0 &&
        static_cast<size_t>(sourceRow) < m_accepted.size())
        return m_accepted[static_cast<size_t>(sourceRow)] != 0;
    return acceptsRow(sourceRow, sourceParent);
}

bool annotationTableSortFilterProxyModel::acceptsRow(int sourceRow,
                                                     const QModelIndex &sourceParent) const
{
    const QAbstractItemModel *source = sourceModel();
    const auto cell = [&](int column) { return source->index(sourceRow, column, sourceParent); };

    if (!showBookmarks &&
        source->data(cell(annotationTable::columnHighlight), Qt::UserRole).toBool())
        return false;
    if (!authorFilter.isEmpty() && !source->data(cell(annotationTable::columnAuthor))
                                        .toString()
                                        .contains(authorFilter, searchCaseSensitivity))
        return false;
    if (!titleFilter.isEmpty() && !source->data(cell(annotationTable::columnTitle))
                                       .toString()
                                       .contains(titleFilter, searchCaseSensitivity))
        return false;
    // An empty pattern matches every text and needs no matching. An invalid one matches
    // nothing; asking it anyway would also log a warning per row.
    if (!searchPattern.isEmpty()) {
        if (!searchExpression.isValid())
            return false;
        if (!searchExpression.match(source->data(cell(annotationTable::columnHighlight)).toString())
                 .hasMatch() &&
            !searchExpression.match(source->data(cell(annotationTable::columnNote)).toString())
                 .hasMatch())
            return false;
    }
    const qint64 created =
        source->data(cell(annotationTable::columnDate), Qt::UserRole).toLongLong();
    if (created < dateFrom || created > dateTo)
        return false;
    const int page = source->data(cell(annotationTable::columnPage)).toInt();
    if (page < pageFrom || page > pageTo)
        return false;
    return hiddenColors.isEmpty() ||
           !hiddenColors.contains(
               source->data(cell(annotationTable::columnColor), Qt::UserRole).toInt());
}

void annotationTableSortFilterProxyModel::fillSortKeys(int column) const
{
    const int rows = m_table->rowCount();
    m_sortKeys.resize(static_cast<size_t>(rows));
    for (int row = 0; row < rows; ++row)
        m_sortKeys[static_cast<size_t>(row)] = m_table->sortKey(row, column);
    m_sortKeysColumn = column;
}

bool annotationTableSortFilterProxyModel::tieBreakLess(int leftRow, int rightRow) const
{
    const auto rank = [this](int row) -> qint64 {
        const size_t at = static_cast<size_t>(row);
        if (row >= 0 && at < m_previousRank.size() && m_previousRank[at] >= 0)
            return m_previousRank[at];
        return static_cast<qint64>(m_previousRank.size()) + row;
    };
    // The base class sorts descending by swapping the arguments; ties must still follow
    // the previous order.
    return sortOrder() == Qt::AscendingOrder ? rank(leftRow) < rank(rightRow)
                                             : rank(rightRow) < rank(leftRow);
}

int annotationTableSortFilterProxyModel::effectiveSortRole(int column) const
{
    if (sortRole() != shownValueRole)
        return sortRole();
    switch (column) {
    case annotationTable::columnDate:
    case annotationTable::columnPage:
        return Qt::UserRole;
    case annotationTable::columnTitle:
        return sortCaseSensitivity() == Qt::CaseSensitive ? int(Qt::DisplayRole)
                                                          : int(Qt::UserRole);
    default:
        return Qt::DisplayRole;
    }
}

int annotationTableSortFilterProxyModel::compareValues(const QVariant &left,
                                                       const QVariant &right) const
{
    if (left.type() == QVariant::String || right.type() == QVariant::String) {
        const QString l = left.toString();
        const QString r = right.toString();
        return isSortLocaleAware() ? QString::localeAwareCompare(l, r)
                                   : QString::compare(l, r, sortCaseSensitivity());
    }
    const qint64 l = left.toLongLong();
    const qint64 r = right.toLongLong();
    return l < r ? -1 : (r < l ? 1 : 0);
}

bool annotationTableSortFilterProxyModel::lessThan(const QModelIndex &left,
                                                   const QModelIndex &right) const
{
    // The base class compares these user-role values (integers, and a bool as "false" <
    // "true") just as their integer keys compare. The role is checked every time: Qt
    // re-sorts with a new sort role before it announces the change.
    const int role = effectiveSortRole(left.column());
    if (m_table && left.model() == m_table && right.model() == m_table &&
        left.column() == right.column() && role == Qt::UserRole) {
        const int column = left.column();
        if (column != m_sortKeysColumn && isIntegerKeyColumn(column))
            fillSortKeys(column);
        const size_t leftRow = static_cast<size_t>(left.row());
        const size_t rightRow = static_cast<size_t>(right.row());
        if (column == m_sortKeysColumn && leftRow < m_sortKeys.size() &&
            rightRow < m_sortKeys.size()) {
            const qint64 leftKey = m_sortKeys[leftRow];
            const qint64 rightKey = m_sortKeys[rightRow];
            if (leftKey != rightKey || !m_keepPreviousOrder)
                return leftKey < rightKey;
            return tieBreakLess(left.row(), right.row());
        }
    }
    if (role != sortRole()) {
        const int order = compareValues(left.data(role), right.data(role));
        if (order != 0 || !m_keepPreviousOrder)
            return order < 0;
        return tieBreakLess(left.row(), right.row());
    }
    if (!m_keepPreviousOrder)
        return QSortFilterProxyModel::lessThan(left, right);
    if (QSortFilterProxyModel::lessThan(left, right))
        return true;
    if (QSortFilterProxyModel::lessThan(right, left))
        return false;
    return tieBreakLess(left.row(), right.row());
}

void annotationTableSortFilterProxyModel::dropSortKeys()
{
    m_sortKeysColumn = -1;
    m_sortKeys = {};
}
