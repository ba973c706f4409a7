#include "viewer/annotationexporter.h"

#include "core/globalsclass.h"
#include "core/prompts.h"
#include "viewer/exportformatter.h"
#include "viewer/exportrules.h"

#include <QClipboard>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QGuiApplication>
#include <QItemSelectionModel>
#include <QMimeData>
#include <QSaveFile>

#include <utility>

AnnotationExporter::AnnotationExporter(QItemSelectionModel *selection,
                                       std::shared_ptr<globalsClass> settingsOwner,
                                       export_output output, export_format format,
                                       export_sortmode sortmode, QWidget *parent,
                                       bool fromcontextmenu)
    : m_settingsOwner(std::move(settingsOwner))
{
    const QDateTime exportTime = QDateTime::currentDateTime();
    if (!selection || !m_settingsOwner)
        return;
    const QModelIndexList rows =
        ExportFormatter::sortRows(ExportFormatter::selectedRows(*selection), sortmode);

    if (output == export_file) {
        m_path = chooseExportFile(format, parent);
        if (m_path.isEmpty())
            return;
    }

    const ExportFormatter formatter(format, exportSeparator(*m_settingsOwner, format));
    const int written = formatter.write(rows, exportTime, !fromcontextmenu, m_text);
    // The clipboard keeps this text, so give back what the writer reserved beyond it.
    m_text.squeeze();

    QString destination;
    if (output == export_file) {
        if (!writeExportFile(m_path, m_text))
            return;
        destination = m_path;
    } else {
        copyToClipboard(format);
        destination = QStringLiteral("clipboard");
    }
    m_message = exportedMessage(written, destination);
}

QString AnnotationExporter::message() const
{
    return m_message;
}

QString AnnotationExporter::chooseExportFile(export_format format, QWidget *parent) const
{
    const QString answer =
        prompts().saveFileName(parent, QStringLiteral("Choose export file for selected highlights"),
                               exportSuggestedPath(*m_settingsOwner, format),
                               QStringLiteral("HTML (*.html *.htm);;Text (*.txt);;CSV (*.csv);;Markdown (*.md)"));
    if (answer.isEmpty()) {
        qDebug() << "...Exportfile dialog cancelled";
        return {};
    }
    return rememberExportPath(*m_settingsOwner, answer, format);
}

void AnnotationExporter::copyToClipboard(export_format format) const
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (format == export_html) {
        auto *mime = new QMimeData;
        mime->setText(m_text);
        mime->setHtml(m_text);
        clipboard->setMimeData(mime);
    } else {
        clipboard->setText(m_text);
    }
}
