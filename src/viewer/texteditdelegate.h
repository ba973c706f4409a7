#pragma once

#include <QStyledItemDelegate>

/// The annotation table's delegate: opens the Highlight and Note cells in a read-only text
/// editor, only so that part of a long text can be selected and copied. Painting and sizes
/// are the base class's. GUI thread only.
class TextEditDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;
    ~TextEditDelegate() override;

    /// A read-only QTextEdit owned by `parent`.
    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &option,
                          const QModelIndex &index) const override;
    /// Shows the cell's Qt::EditRole text as plain text.
    void setEditorData(QWidget *editor, const QModelIndex &index) const override;
    void updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                              const QModelIndex &index) const override;
};
