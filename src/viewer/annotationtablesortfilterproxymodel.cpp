#include "viewer/annotationtablesortfilterproxymodel.h"

#include "viewer/annotationtable.h"

#include <QtDebug>

#include <algorithm>
#include <functional>
#include <iterator>

namespace {

bool isIntegerKeyColumn(int column)
{
    return column == annotationTable::columnDate || column == annotationTable::columnTitle ||
           column == annotationTable::columnPage || column == annotationTable::columnHighlight;
}

// The types that Qt's own proxy compares as numbers; a bool compares as "false" < "true",
// which is the order of 0 and 1.
bool isNumber(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Long:
    case QMetaType::ULong:
        return true;
    default:
        return false;
    }
}

} // namespace

annotationTableSortFilterProxyModel::annotationTableSortFilterProxyModel(QObject *parent)
    : QAbstractProxyModel(parent)
{
    compileSearchExpression();
}

annotationTableSortFilterProxyModel::~annotationTableSortFilterProxyModel()
{
    qDebug() << "Deleted annotationSortFilterProxy model";
}

void annotationTableSortFilterProxyModel::setSourceModel(QAbstractItemModel *source)
{
    if (source == sourceModel())
        return;
    beginResetModel();
    for (const QMetaObject::Connection &connection : m_sourceConnections)
        disconnect(connection);
    m_sourceConnections.clear();
    QAbstractProxyModel::setSourceModel(source);
    m_table = qobject_cast<const annotationTable *>(source);
    if (source) {
        // Anything but data and header changes is rare in a table of annotations: the
        // rows are then filtered and sorted afresh.
        const auto begin = [this] { beginResetModel(); };
        const auto end = [this] {
            rebuild();
            endResetModel();
        };
        using M = QAbstractItemModel;
        m_sourceConnections = {
            connect(source, &M::dataChanged, this,
                    &annotationTableSortFilterProxyModel::onSourceDataChanged),
            connect(source, &M::headerDataChanged, this,
                    &annotationTableSortFilterProxyModel::onSourceHeaderDataChanged),
            connect(source, &M::layoutAboutToBeChanged, this,
                    &annotationTableSortFilterProxyModel::onSourceLayoutAboutToBeChanged),
            connect(source, &M::layoutChanged, this,
                    &annotationTableSortFilterProxyModel::onSourceLayoutChanged),
            connect(source, &M::modelAboutToBeReset, this, begin),
            connect(source, &M::modelReset, this, end),
            connect(source, &M::rowsAboutToBeInserted, this, begin),
            connect(source, &M::rowsInserted, this, end),
            connect(source, &M::rowsAboutToBeRemoved, this, begin),
            connect(source, &M::rowsRemoved, this, end),
            connect(source, &M::rowsAboutToBeMoved, this, begin),
            connect(source, &M::rowsMoved, this, end),
            connect(source, &M::columnsAboutToBeInserted, this, begin),
            connect(source, &M::columnsInserted, this, end),
            connect(source, &M::columnsAboutToBeRemoved, this, begin),
            connect(source, &M::columnsRemoved, this, end),
            connect(source, &M::columnsAboutToBeMoved, this, begin),
            connect(source, &M::columnsMoved, this, end),
            connect(source, &QObject::destroyed, this,
                    [this] {
                        beginResetModel();
                        m_table = nullptr;
                        m_proxyToSource.clear();
                        m_sourceToProxy.clear();
                        endResetModel();
                    }),
        };
    }
    rebuild();
    endResetModel();
}

QModelIndex annotationTableSortFilterProxyModel::index(int row, int column,
                                                       const QModelIndex &parent) const
{
    if (parent.isValid() || row < 0 || column < 0 || row >= rowCount() || column >= columnCount())
        return QModelIndex();
    return createIndex(row, column);
}

QModelIndex annotationTableSortFilterProxyModel::parent(const QModelIndex &) const
{
    return QModelIndex();
}

QModelIndex annotationTableSortFilterProxyModel::sibling(int row, int column,
                                                         const QModelIndex &) const
{
    return index(row, column);
}

int annotationTableSortFilterProxyModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_proxyToSource.size());
}

int annotationTableSortFilterProxyModel::columnCount(const QModelIndex &parent) const
{
    const QAbstractItemModel *source = sourceModel();
    return parent.isValid() || !source ? 0 : source->columnCount();
}

bool annotationTableSortFilterProxyModel::hasChildren(const QModelIndex &parent) const
{
    return !parent.isValid() && rowCount() > 0 && columnCount() > 0;
}

QVariant annotationTableSortFilterProxyModel::headerData(int section, Qt::Orientation orientation,
                                                         int role) const
{
    const QAbstractItemModel *source = sourceModel();
    if (!source)
        return QVariant();
    if (orientation == Qt::Horizontal)
        return source->headerData(section, orientation, role);
    if (section < 0 || section >= rowCount())
        return QVariant();
    return source->headerData(m_proxyToSource[static_cast<size_t>(section)], orientation, role);
}

QModelIndex annotationTableSortFilterProxyModel::mapToSource(const QModelIndex &proxyIndex) const
{
    const QAbstractItemModel *source = sourceModel();
    if (!source || !proxyIndex.isValid() || proxyIndex.model() != this ||
        proxyIndex.row() >= rowCount())
        return QModelIndex();
    return source->index(m_proxyToSource[static_cast<size_t>(proxyIndex.row())],
                         proxyIndex.column());
}

QModelIndex annotationTableSortFilterProxyModel::mapFromSource(const QModelIndex &sourceIndex) const
{
    if (!sourceIndex.isValid() || sourceIndex.model() != sourceModel() ||
        sourceIndex.parent().isValid())
        return QModelIndex();
    const size_t row = static_cast<size_t>(sourceIndex.row());
    if (row >= m_sourceToProxy.size() || m_sourceToProxy[row] < 0)
        return QModelIndex();
    return index(m_sourceToProxy[row], sourceIndex.column());
}

void annotationTableSortFilterProxyModel::sort(int column, Qt::SortOrder order)
{
    if (column == m_sortColumn && order == m_sortOrder)
        return;
    m_sortColumn = column;
    m_sortOrder = order;
    std::vector<int> rows = m_proxyToSource;
    sortRows(rows, column, order);
    applyOrder(std::move(rows));
}

void annotationTableSortFilterProxyModel::setSortRole(int role)
{
    if (role == m_sortRole)
        return;
    m_sortRole = role;
    std::vector<int> rows = m_proxyToSource;
    sortRows(rows, m_sortColumn, m_sortOrder);
    applyOrder(std::move(rows));
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
    if (cs == m_sortCaseSensitivity)
        return;
    m_sortCaseSensitivity = cs;
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
    const QAbstractItemModel *source = sourceModel();
    if (!source)
        return;
    const int sourceRows = source->rowCount();
    std::vector<char> accepted(static_cast<size_t>(sourceRows));
    bool changed = static_cast<size_t>(sourceRows) != m_sourceToProxy.size();
    for (int row = 0; row < sourceRows; ++row) {
        accepted[static_cast<size_t>(row)] = acceptsRow(row);
        changed = changed || (accepted[static_cast<size_t>(row)] != 0) !=
                                 (m_sourceToProxy[static_cast<size_t>(row)] >= 0);
    }
    if (changed)
        applyOrder(keptOrderWithNewRows(accepted));
}

void annotationTableSortFilterProxyModel::invalidate()
{
    if (sourceModel())
        applyOrder(filteredSourceOrder());
}

bool annotationTableSortFilterProxyModel::acceptsRow(int sourceRow) const
{
    const QAbstractItemModel *source = sourceModel();
    const auto cell = [&](int column) { return source->index(sourceRow, column); };

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

int annotationTableSortFilterProxyModel::effectiveSortRole(int column) const
{
    if (m_sortRole != shownValueRole)
        return m_sortRole;
    switch (column) {
    case annotationTable::columnDate:
    case annotationTable::columnPage:
        return Qt::UserRole;
    case annotationTable::columnTitle:
        return m_sortCaseSensitivity == Qt::CaseSensitive ? int(Qt::DisplayRole)
                                                          : int(Qt::UserRole);
    default:
        return Qt::DisplayRole;
    }
}

annotationTableSortFilterProxyModel::SortKeys
annotationTableSortFilterProxyModel::readSortKeys(int column) const
{
    SortKeys keys;
    const QAbstractItemModel *source = sourceModel();
    const int rows = source->rowCount();
    const int role = effectiveSortRole(column);
    keys.numbers.resize(static_cast<size_t>(rows));
    keys.missing.resize(static_cast<size_t>(rows));
    // The table's integer keys compare just as the user-role values they stand for.
    if (m_table && role == Qt::UserRole && isIntegerKeyColumn(column)) {
        for (int row = 0; row < rows; ++row)
            keys.numbers[static_cast<size_t>(row)] = m_table->sortKey(row, column);
        return keys;
    }
    std::vector<QVariant> values(static_cast<size_t>(rows));
    for (int row = 0; row < rows; ++row) {
        QVariant &value = values[static_cast<size_t>(row)];
        value = source->data(source->index(row, column), role);
        keys.missing[static_cast<size_t>(row)] = !value.isValid();
        keys.text = keys.text || (value.isValid() && !isNumber(value));
    }
    if (keys.text)
        keys.texts.resize(static_cast<size_t>(rows));
    for (size_t row = 0; row < values.size(); ++row) {
        if (keys.text)
            keys.texts[row] = values[row].toString();
        else
            keys.numbers[row] = values[row].toLongLong();
    }
    return keys;
}

annotationTableSortFilterProxyModel::RowOrder
annotationTableSortFilterProxyModel::rowOrder(int column, Qt::SortOrder order) const
{
    RowOrder rowOrder;
    rowOrder.descending = order == Qt::DescendingOrder;
    rowOrder.caseSensitivity = m_sortCaseSensitivity;
    const QAbstractItemModel *source = sourceModel();
    rowOrder.bySourceRow = !source || column < 0 || column >= source->columnCount();
    if (!rowOrder.bySourceRow)
        rowOrder.keys = readSortKeys(column);
    return rowOrder;
}

bool annotationTableSortFilterProxyModel::RowOrder::operator()(int left, int right) const
{
    // Without a sort column the source's order holds, whatever the sort order.
    if (bySourceRow)
        return left < right;
    // Descending swaps the arguments, so that equal rows keep their order either way.
    if (descending)
        std::swap(left, right);
    const size_t l = static_cast<size_t>(left);
    const size_t r = static_cast<size_t>(right);
    if (keys.missing[l] || keys.missing[r])
        return !keys.missing[l];
    if (keys.text)
        return QString::compare(keys.texts[l], keys.texts[r], caseSensitivity) < 0;
    return keys.numbers[l] < keys.numbers[r];
}

void annotationTableSortFilterProxyModel::sortRows(std::vector<int> &rows, int column,
                                                   Qt::SortOrder order) const
{
    const RowOrder less = rowOrder(column, order);
    if (less.bySourceRow || less.keys.text) {
        // By reference: the algorithms copy their comparison, and this one holds the keys.
        std::stable_sort(rows.begin(), rows.end(), std::cref(less));
        return;
    }
    // Numbers are sorted beside their rows: no look-up per comparison, which costs most
    // when the rows come in an order far from the source's.
    struct Entry
    {
        qint64 number;
        int32_t row;
        int32_t missing;
    };
    std::vector<Entry> entries;
    entries.reserve(rows.size());
    for (const int row : rows) {
        const size_t at = static_cast<size_t>(row);
        entries.push_back({less.keys.numbers[at], row, less.keys.missing[at]});
    }
    const auto ascending = [](const Entry &left, const Entry &right) {
        return left.missing != right.missing ? left.missing < right.missing
                                             : left.number < right.number;
    };
    if (less.descending)
        std::stable_sort(
            entries.begin(), entries.end(),
            [&](const Entry &left, const Entry &right) { return ascending(right, left); });
    else
        std::stable_sort(entries.begin(), entries.end(), ascending);
    for (size_t i = 0; i < entries.size(); ++i)
        rows[i] = entries[i].row;
}

std::vector<int> annotationTableSortFilterProxyModel::filteredSourceOrder() const
{
    std::vector<int> rows;
    const int sourceRows = sourceModel()->rowCount();
    rows.reserve(static_cast<size_t>(sourceRows));
    for (int row = 0; row < sourceRows; ++row) {
        if (acceptsRow(row))
            rows.push_back(row);
    }
    if (m_sortColumn >= 0)
        sortRows(rows, m_sortColumn, m_sortOrder);
    return rows;
}

std::vector<int>
annotationTableSortFilterProxyModel::keptOrderWithNewRows(const std::vector<char> &accepted) const
{
    // Rows shown before keep their order; rows shown anew, sorted among themselves, go
    // after the equal ones already shown (as when Qt's proxy inserts them one by one).
    std::vector<int> kept;
    kept.reserve(m_proxyToSource.size());
    for (const int row : m_proxyToSource) {
        if (static_cast<size_t>(row) < accepted.size() && accepted[static_cast<size_t>(row)])
            kept.push_back(row);
    }
    std::vector<int> added;
    for (size_t row = 0; row < accepted.size(); ++row) {
        const bool wasShown = row < m_sourceToProxy.size() && m_sourceToProxy[row] >= 0;
        if (accepted[row] && !wasShown)
            added.push_back(static_cast<int>(row));
    }
    if (added.empty())
        return kept;
    const RowOrder less = rowOrder(m_sortColumn, m_sortOrder);
    std::stable_sort(added.begin(), added.end(), std::cref(less));
    // As Qt's proxy inserts rows: the first row of a run goes after the equal rows already
    // shown; the rows that follow it join the run up to the next shown row that sorts
    // strictly before them, so a row equal to that one lands before it.
    std::vector<int> merged;
    merged.reserve(kept.size() + added.size());
    auto shown = kept.cbegin();
    for (auto next = added.cbegin(); next != added.cend();) {
        const auto at = std::upper_bound(shown, kept.cend(), *next, std::cref(less));
        merged.insert(merged.end(), shown, at);
        shown = at;
        merged.push_back(*next++);
        while (next != added.cend() && (shown == kept.cend() || !less(*shown, *next)))
            merged.push_back(*next++);
    }
    merged.insert(merged.end(), shown, kept.cend());
    return merged;
}

void annotationTableSortFilterProxyModel::rebuild()
{
    std::vector<int> order;
    if (sourceModel())
        order = filteredSourceOrder();
    setMapping(std::move(order));
}

void annotationTableSortFilterProxyModel::setMapping(std::vector<int> order)
{
    m_proxyToSource = std::move(order);
    const QAbstractItemModel *source = sourceModel();
    m_sourceToProxy.assign(source ? static_cast<size_t>(source->rowCount()) : 0, -1);
    for (size_t proxyRow = 0; proxyRow < m_proxyToSource.size(); ++proxyRow)
        m_sourceToProxy[static_cast<size_t>(m_proxyToSource[proxyRow])] =
            static_cast<int>(proxyRow);
}

void annotationTableSortFilterProxyModel::applyOrder(std::vector<int> order)
{
    if (order == m_proxyToSource)
        return;
    emit layoutAboutToBeChanged();
    const QModelIndexList from = persistentIndexList();
    std::vector<int> sourceRows;
    sourceRows.reserve(static_cast<size_t>(from.size()));
    for (const QModelIndex &index : from) {
        const size_t row = static_cast<size_t>(index.row());
        sourceRows.push_back(row < m_proxyToSource.size() ? m_proxyToSource[row] : -1);
    }
    setMapping(std::move(order));
    QModelIndexList to;
    to.reserve(from.size());
    for (int i = 0; i < from.size(); ++i) {
        const int sourceRow = sourceRows[static_cast<size_t>(i)];
        const int row = sourceRow >= 0 ? m_sourceToProxy[static_cast<size_t>(sourceRow)] : -1;
        to.append(row >= 0 ? createIndex(row, from[i].column()) : QModelIndex());
    }
    changePersistentIndexList(from, to);
    emit layoutChanged();
}

void annotationTableSortFilterProxyModel::onSourceDataChanged(const QModelIndex &topLeft,
                                                              const QModelIndex &bottomRight,
                                                              const QVector<int> &roles)
{
    if (!topLeft.isValid() || !bottomRight.isValid() || topLeft.parent().isValid())
        return;
    // A changed row may pass or fail the filter now, or sort elsewhere: shown rows keep
    // their order and the rows shown anew join it, then the sort column, if it changed,
    // sorts them again, stably.
    const QAbstractItemModel *source = sourceModel();
    const int sourceRows = source->rowCount();
    std::vector<char> accepted(static_cast<size_t>(sourceRows));
    for (int row = 0; row < sourceRows; ++row) {
        const bool changed = row >= topLeft.row() && row <= bottomRight.row();
        const bool shown = static_cast<size_t>(row) < m_sourceToProxy.size() &&
                           m_sourceToProxy[static_cast<size_t>(row)] >= 0;
        accepted[static_cast<size_t>(row)] = changed ? acceptsRow(row) : shown;
    }
    std::vector<int> order = keptOrderWithNewRows(accepted);
    if (m_sortColumn >= topLeft.column() && m_sortColumn <= bottomRight.column())
        sortRows(order, m_sortColumn, m_sortOrder);
    applyOrder(std::move(order));

    int first = -1;
    int last = -1;
    for (int row = topLeft.row(); row <= bottomRight.row() && row < sourceRows; ++row) {
        const int proxyRow = m_sourceToProxy[static_cast<size_t>(row)];
        if (proxyRow < 0)
            continue;
        first = first < 0 ? proxyRow : std::min(first, proxyRow);
        last = std::max(last, proxyRow);
    }
    if (first >= 0)
        emit dataChanged(index(first, topLeft.column()), index(last, bottomRight.column()), roles);
}

void annotationTableSortFilterProxyModel::onSourceHeaderDataChanged(Qt::Orientation orientation,
                                                                    int first, int last)
{
    if (orientation == Qt::Horizontal) {
        emit headerDataChanged(orientation, first, last);
        return;
    }
    if (rowCount() > 0)
        emit headerDataChanged(orientation, 0, rowCount() - 1);
}

void annotationTableSortFilterProxyModel::onSourceLayoutAboutToBeChanged()
{
    emit layoutAboutToBeChanged();
    m_layoutPersistent.clear();
    for (const QModelIndex &index : persistentIndexList())
        m_layoutPersistent.emplace_back(index, QPersistentModelIndex(mapToSource(index)));
}

void annotationTableSortFilterProxyModel::onSourceLayoutChanged()
{
    rebuild();
    QModelIndexList from;
    QModelIndexList to;
    for (const auto &[proxyIndex, sourceIndex] : m_layoutPersistent) {
        from.append(proxyIndex);
        to.append(mapFromSource(sourceIndex));
    }
    m_layoutPersistent.clear();
    changePersistentIndexList(from, to);
    emit layoutChanged();
}
