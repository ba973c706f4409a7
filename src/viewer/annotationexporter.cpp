#include "viewer/annotationexporter.h"

#include "backup/fileutils.h"
#include "core/globalsclass.h"
#include "core/settingsstore.h"
#include "core/textconv.h"
#include "core/prompts.h"
#include "viewer/exportformatter.h"

#include <QClipboard>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QGuiApplication>
#include <QItemSelectionModel>
#include <QMimeData>
#include <QSaveFile>

#include <utility>

namespace {

QString withExtension(const QString &path, export_format format)
{
    return toQString(exportPathWithExtension(toPath(path), format));
}

// The stored default starts with "~", which no file dialog expands by itself.
QString expandHome(const QString &path)
{
    if (path == QLatin1String("~") || path.startsWith(QLatin1String("~/")))
        return QDir::homePath() + path.mid(1);
    return path;
}

} // namespace

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

    const ExportFormatter formatter(format,
                                    format == export_csv ? csvSeparator() : QStringLiteral(";"));
    const int written = formatter.write(rows, exportTime, !fromcontextmenu, m_text);
    // The clipboard keeps this text, so give back what the writer reserved beyond it.
    m_text.squeeze();

    QString destination;
    if (output == export_file) {
        if (!writeExportFile(m_path))
            return;
        destination = m_path;
    } else {
        copyToClipboard(format);
        destination = QStringLiteral("clipboard");
    }
    m_message =
        QStringLiteral("Exported %1 highlights to %2").arg(QString::number(written), destination);
}

QString AnnotationExporter::message() const
{
    return m_message;
}

QString AnnotationExporter::chooseExportFile(export_format format, QWidget *parent) const
{
    const QString lastPath =
        readString(*openIniSettings(m_settingsOwner->settingsGeneral),
                   settingskeys::pathsLastAnnExportfile, QStringLiteral("~/annotation-export"));
    const QString answer =
        prompts().saveFileName(parent, QStringLiteral("Choose export file for selected highlights"),
                               expandHome(withExtension(lastPath, format)),
                               QStringLiteral("HTML (*.html *.htm);;Text (*.txt);;CSV (*.csv)"));
    if (answer.isEmpty()) {
        qDebug() << "...Exportfile dialog cancelled";
        return {};
    }
    const QString path = withExtension(answer, format);
    qDebug().noquote() << QStringLiteral("Storing savefilepath: ") + path;
    openIniSettings(m_settingsOwner->settingsGeneral)
        ->setValue(settingskeys::pathsLastAnnExportfile, path);
    qDebug().noquote() << QStringLiteral("Using exportfile: ") + path;
    return path;
}

QString AnnotationExporter::csvSeparator() const
{
    const QString separator = readString(*openIniSettings(m_settingsOwner->settingsGeneral),
                                         settingskeys::exporterCsvSeparator, QStringLiteral(";"));
    qDebug().noquote() << QStringLiteral("Using CSV separator: ") + separator;
    return separator;
}

bool AnnotationExporter::writeExportFile(const QString &path) const
{
    // QSaveFile writes beside the target and renames only after everything was written, so
    // a failed export never leaves a partial file or destroys the previous one.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        qWarning() << "Failed to open output file, cancelling export.";
        return false;
    }
    const QByteArray bytes = m_text.toUtf8();
    if (file.write(bytes) != bytes.size() || !file.commit()) {
        qWarning().noquote() << QStringLiteral("Failed to write output file, cancelling export: ") +
                                    file.errorString();
        return false;
    }
    return true;
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
