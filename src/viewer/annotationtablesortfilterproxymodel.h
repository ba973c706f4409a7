#pragma once

#include <QAbstractProxyModel>
#include <QMetaObject>
#include <QPersistentModelIndex>
#include <QRegularExpression>
#include <QSet>
#include <QString>

#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

class annotationTable;

/// Hides the annotation rows that fail the viewer's filters (bookmarks, author, title, text,
/// date, page and colour) and sorts by the chosen role of the source, stably, so that a second
/// sort keeps the first one's order among equal keys. An invalid search expression hides
/// every row. Any flat source model works; an `annotationTable` is read faster.
///
/// It orders rows as Qt's QSortFilterProxyModel does (stable sorts of the current order; a
/// filter change keeps the order of the rows still shown and puts rows shown anew after the
/// equal ones), but sorts its own vectors of keys instead of comparing model indexes one
/// pair at a time: a sort of 100,000 rows costs little more than sorting the keys. Every
/// change of rows or order is announced as a layout change. GUI thread only.
class annotationTableSortFilterProxyModel : public QAbstractProxyModel
{
    Q_OBJECT

public:
    /// A sort role of the proxy's own: each column sorts by what it shows. Dates in time
    /// order, pages in page order, titles in the reader's title order (as text when the sort
    /// is case-sensitive), other texts as text following sortCaseSensitivity().
    static constexpr int shownValueRole = Qt::UserRole + 100;

    explicit annotationTableSortFilterProxyModel(QObject *parent = nullptr);
    ~annotationTableSortFilterProxyModel() override;

    void setSourceModel(QAbstractItemModel *sourceModel) override;

    QModelIndex index(int row, int column,
                      const QModelIndex &parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    QModelIndex sibling(int row, int column, const QModelIndex &index) const override;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    bool hasChildren(const QModelIndex &parent = QModelIndex()) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    QModelIndex mapToSource(const QModelIndex &proxyIndex) const override;
    QModelIndex mapFromSource(const QModelIndex &sourceIndex) const override;

    /// Sorts the rows shown, stably from their current order. Column -1 restores the
    /// source's order. Asking for the current column and order again changes nothing.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;
    int sortColumn() const { return m_sortColumn; }
    Qt::SortOrder sortOrder() const { return m_sortOrder; }
    /// A changed role re-sorts the rows shown, stably.
    void setSortRole(int role);
    int sortRole() const { return m_sortRole; }

    /// Each setter stores a changed value and re-runs the filter.
    void setSearchCaseSensitivity(Qt::CaseSensitivity cs);
    /// `pattern` is a regular expression as typed; `force` recompiles an unchanged pattern.
    void setSearchPattern(const QString &pattern, bool force = false);
    /// Filters and sorts afresh from the source's order.
    void setSortCaseSensitivity(Qt::CaseSensitivity cs);
    Qt::CaseSensitivity sortCaseSensitivity() const { return m_sortCaseSensitivity; }
    void setShowBookmarks(bool show);
    void setAuthorFilter(const QString &text);
    void setTitleFilter(const QString &text);

    /// Re-runs the filter, e.g. after changing the bounds below; the rows shown before keep
    /// their order.
    void invalidateFilter();
    /// Filters and sorts afresh from the source's order.
    void invalidate();

    /// Inclusive bounds: `created` in seconds since the epoch, and the 1-based page. No upper
    /// date bound until one is set: annotations newer than the proxy are shown too.
    qint64 dateFrom = 0;
    qint64 dateTo = std::numeric_limits<qint64>::max();
    int32_t pageFrom = 0;
    int32_t pageTo = 9999;
    /// Colour codes (the Qt::UserRole value of the colour column) whose rows are hidden.
    QSet<int> hiddenColors;

private:
    /// One column's sort keys in source row order, read once per sort.
    struct SortKeys
    {
        bool text = false;
        std::vector<qint64> numbers;
        std::vector<QString> texts;
        // Rows whose value is missing sort after every other, as in Qt's own proxy.
        std::vector<char> missing;
    };

    /// The order of the sort: by the column's keys, or by source row without a column.
    struct RowOrder
    {
        SortKeys keys;
        bool bySourceRow = false;
        bool descending = false;
        Qt::CaseSensitivity caseSensitivity = Qt::CaseInsensitive;
        bool operator()(int left, int right) const;
    };

    void compileSearchExpression();
    int effectiveSortRole(int column) const;
    bool acceptsRow(int sourceRow) const;
    SortKeys readSortKeys(int column) const;
    RowOrder rowOrder(int column, Qt::SortOrder order) const;
    void sortRows(std::vector<int> &rows, int column, Qt::SortOrder order) const;
    std::vector<int> filteredSourceOrder() const;
    std::vector<int> keptOrderWithNewRows(const std::vector<char> &accepted) const;
    void rebuild();
    void applyOrder(std::vector<int> order);
    void setMapping(std::vector<int> order);

    void onSourceDataChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight,
                             const QVector<int> &roles);
    void onSourceHeaderDataChanged(Qt::Orientation orientation, int first, int last);
    void onSourceLayoutAboutToBeChanged();
    void onSourceLayoutChanged();

    Qt::CaseSensitivity searchCaseSensitivity = Qt::CaseInsensitive;
    bool showBookmarks = false;
    QString authorFilter;
    QString titleFilter;
    QString searchPattern;
    QRegularExpression searchExpression;

    int m_sortColumn = -1;
    Qt::SortOrder m_sortOrder = Qt::AscendingOrder;
    int m_sortRole = Qt::DisplayRole;
    Qt::CaseSensitivity m_sortCaseSensitivity = Qt::CaseInsensitive;

    // The source when it is an annotationTable; cleared when the source goes away.
    const annotationTable *m_table = nullptr;
    std::vector<QMetaObject::Connection> m_sourceConnections;
    // Proxy row -> source row, and source row -> proxy row (-1: hidden).
    std::vector<int> m_proxyToSource;
    std::vector<int> m_sourceToProxy;
    // Only while the source changes its layout: our persistent indexes and their sources.
    std::vector<std::pair<QModelIndex, QPersistentModelIndex>> m_layoutPersistent;
};
