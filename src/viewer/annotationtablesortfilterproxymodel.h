#pragma once

#include <QMetaObject>
#include <QRegularExpression>
#include <QSet>
#include <QSortFilterProxyModel>
#include <QString>

#include <cstdint>
#include <limits>
#include <vector>

class annotationTable;

/// Hides the annotation rows that fail the viewer's filters (bookmarks, author, title, text,
/// date and page ranges) and sorts by the chosen role of the source, stably, so that a second
/// sort keeps the first one's order among equal keys. An invalid search expression hides
/// every row. Any source model works; an `annotationTable` is read faster. GUI thread only.
class annotationTableSortFilterProxyModel : public QSortFilterProxyModel
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

    /// Each setter stores a changed value and re-runs the filter.
    void setSearchCaseSensitivity(Qt::CaseSensitivity cs);
    /// `pattern` is a regular expression as typed; `force` recompiles an unchanged pattern.
    void setSearchPattern(const QString &pattern, bool force = false);
    /// Re-sorts and re-filters; sortCaseSensitivity() of the base class reads the value.
    void setSortCaseSensitivity(Qt::CaseSensitivity cs);
    void setShowBookmarks(bool show);
    void setAuthorFilter(const QString &text);
    void setTitleFilter(const QString &text);

    /// Re-runs the filter, e.g. after changing the bounds below; the rows keep their order.
    /// Hides the base class's protected function of the same name and effect.
    void invalidateFilter();

    /// Inclusive bounds: `created` in seconds since the epoch, and the 1-based page. No upper
    /// date bound until one is set: annotations newer than the proxy are shown too.
    qint64 dateFrom = 0;
    qint64 dateTo = std::numeric_limits<qint64>::max();
    int32_t pageFrom = 0;
    int32_t pageTo = 9999;
    /// Colour codes (the Qt::UserRole value of the colour column) whose rows are hidden.
    QSet<int> hiddenColors;

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const override;
    bool lessThan(const QModelIndex &left, const QModelIndex &right) const override;

private:
    void compileSearchExpression();
    int effectiveSortRole(int column) const;
    int compareValues(const QVariant &left, const QVariant &right) const;
    bool acceptsRow(int sourceRow, const QModelIndex &sourceParent) const;
    void fillSortKeys(int column) const;
    bool tieBreakLess(int leftRow, int rightRow) const;
    void dropSortKeys();

    Qt::CaseSensitivity searchCaseSensitivity = Qt::CaseInsensitive;
    bool showBookmarks = false;
    QString authorFilter;
    QString titleFilter;
    QString searchPattern;
    QRegularExpression searchExpression;

    // The source when it is an annotationTable; cleared when the source goes away.
    const annotationTable *m_table = nullptr;
    std::vector<QMetaObject::Connection> m_sourceConnections;
    // One column's Qt::UserRole sort keys in source row order, read once per sort instead
    // of twice per comparison; dropped whenever the source changes.
    mutable std::vector<qint64> m_sortKeys;
    mutable int m_sortKeysColumn = -1;
    // Only while invalidateFilter() runs: the new verdict per source row, and each row's
    // place before the re-run (-1: was hidden) to keep the order when the mapping is rebuilt.
    std::vector<char> m_accepted;
    std::vector<int> m_previousRank;
    bool m_keepPreviousOrder = false;
};
