#pragma once

#include "viewer/exporttypes.h"

#include <QModelIndexList>
#include <QString>
#include <QVector>

class QDateTime;
class QItemSelectionModel;

/// Writes rows of the annotation viewer as plain text, HTML, CSV or Markdown. It reads them through an
/// item model with the annotation table's columns (0 date, 1 author, 2 title, 3 page,
/// 4 highlight, 5 note; integer sort keys under Qt::UserRole). Holds only the compiled templates.
class ExportFormatter
{
public:
    /// `csvSeparator` takes the place of every ";" of the CSV header and rows; an empty one
    /// counts as ";". The other formats ignore it.
    explicit ExportFormatter(export_format format,
                             const QString &csvSeparator = QStringLiteral(";"));

    /// What selection.selectedRows(0) returns (one column-0 index per fully selected row, in
    /// the order the rows were selected), in time linear in the selected rows.
    static QModelIndexList selectedRows(const QItemSelectionModel &selection);

    /// `rows` in the order of `sortmode`. Rows with equal keys keep their order in `rows`;
    /// an unknown mode logs a warning and takes the viewer order.
    static QModelIndexList sortRows(const QModelIndexList &rows, export_sortmode sortmode);

    /// Appends the export of `rows`, in the order given, to `out`: the document header
    /// (stamped with `exportTime`) when `withDocumentHeader`, the books and their rows, the
    /// document end. Returns the number of rows written.
    int write(const QModelIndexList &rows, const QDateTime &exportTime, bool withDocumentHeader,
              QString &out) const;

    /// write() into a new text.
    QString text(const QModelIndexList &rows, const QDateTime &exportTime,
                 bool withDocumentHeader) const;

private:
    /// A template cut at its placeholders: literal text, then placeholder `field`
    /// (1 to 9, or 0 after the last literal).
    struct Piece
    {
        QString literal;
        int field = 0;
    };
    using Template = QVector<Piece>;

    struct RowTexts
    {
        QString author;
        QString title;
        int page = 0;
        QString highlight;
        QString note;
    };

    static Template compile(const QString &text);
    /// One Markdown book heading or annotation block (quote, page and date, note).
    void writeMarkdown(QString &out, const RowTexts &row, const QString &date, bool newBook) const;
    void appendText(QString &out, const QString &text) const;
    void appendRowFields(QString &out, const Template &tmpl, const RowTexts &row) const;

    export_format m_format;
    Template m_documentHeader;
    Template m_bookHeader;
    Template m_row;
    QString m_columnHeader;
    QString m_bookEnd;
    QString m_documentEnd;
};
