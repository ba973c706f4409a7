#pragma once

#include <QAbstractTableModel>
#include <QVariant>

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

class Reader;
struct AnnotationRecord;
struct BookInfo;

/// The viewer's read-only table: one row per annotation of a reader, author and title looked
/// up in the reader's books. Holds the reader alive and reads its lists in place, copying
/// nothing; whoever replaces those lists wraps that in beginReload()/endReload(). GUI thread.
class annotationTable : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column : int {
        columnDate = 0,
        columnAuthor = 1,
        columnTitle = 2,
        columnPage = 3,
        columnHighlight = 4,
        columnNote = 5,
        columnColor = 6,
        columnTotal = 7
    };

    explicit annotationTable(std::shared_ptr<Reader> reader, QObject *parent = nullptr);
    ~annotationTable() override;

    QModelIndex index(int row, int column,
                      const QModelIndex &parent = QModelIndex()) const override;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    /// Accepts and discards every edit: the editors exist only to select and copy text.
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;

    /// Tells views and proxies that every cell and header may read differently: call after
    /// changing the display options below, which are plain fields and signal nothing.
    void refreshAll();
    /// Bracket a re-import of the reader's lists; reload() is both at once, for a caller
    /// that has already replaced them (rows beyond the list read as invalid meanwhile).
    void beginReload();
    void endReload();
    void reload();

    /// The Qt::UserRole value of `column` (0, 2, 3 or 4; a bookmark is 1) as a 64-bit
    /// integer, without a QVariant: the proxy sorts by it. 0 for any other column or row.
    qint64 sortKey(int row, int column) const;

    bool rowNumbersByDeviceId = false;
    bool notesInline = false;
    /// -1 whole row, 3 page column, 4 highlight and note columns, 6 colour column, -2 none.
    int32_t rowHighlightColorMode = -1;
    bool rowHighlightColorAsText = false;
    /// Alpha of the colour when it is painted into a single column (modes 3 and 6).
    double highlightAlpha = 0.2;

private:
    const AnnotationRecord *record(int row) const;
    const BookInfo *book(const AnnotationRecord &annotation) const;
    QVariant displayValue(const AnnotationRecord &annotation, int column) const;
    QVariant background(const AnnotationRecord &annotation, int column) const;

    std::shared_ptr<Reader> m_reader;
    const std::vector<AnnotationRecord> &m_annotations;
    const std::map<int32_t, BookInfo> &m_books;
};
