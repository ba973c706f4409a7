#include "viewer/texteditdelegate.h"

#include <QTextEdit>
#include <QtDebug>

TextEditDelegate::~TextEditDelegate()
{
    qDebug() << "Deleted delegate";
}

QWidget *TextEditDelegate::createEditor(QWidget *parent, const QStyleOptionViewItem &,
                                        const QModelIndex &) const
{
    auto *editor = new QTextEdit(parent);
    editor->setReadOnly(true);
    return editor;
}

void TextEditDelegate::setEditorData(QWidget *editor, const QModelIndex &index) const
{
    // QTextEdit's user property is its HTML: through it, "<" would start a tag and line
    // breaks would collapse, so the text to copy would differ from the highlight.
    if (auto *textEdit = qobject_cast<QTextEdit *>(editor)) {
        textEdit->setPlainText(index.data(Qt::EditRole).toString());
        return;
    }
    QStyledItemDelegate::setEditorData(editor, index);
}

void TextEditDelegate::updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                                            const QModelIndex &) const
{
    editor->setGeometry(option.rect);
}
