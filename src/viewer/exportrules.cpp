#include "viewer/exportrules.h"

#include "core/globalsclass.h"
#include "core/settingsstore.h"
#include "core/textconv.h"

#include <QDebug>
#include <QDir>
#include <QSaveFile>

namespace fs = std::filesystem;

fs::path exportPathWithExtension(const fs::path &path, int format)
{
    fs::path result = path;
    switch (format) {
    case export_plaintext:
        return result.replace_extension("txt");
    case export_html:
        return result.replace_extension("html");
    case export_csv:
        return result.replace_extension("csv");
    case export_markdown:
        return result.replace_extension("md");
    default:
        return result;
    }
}

namespace {

QString withExtension(const QString &path, export_format format)
{
    return toQString(exportPathWithExtension(toPath(path), format));
}

} // namespace

QString exportSuggestedPath(const globalsClass &settingsOwner, export_format format)
{
    const QString lastPath =
        readString(*openIniSettings(settingsOwner.settingsGeneral),
                   settingskeys::pathsLastAnnExportfile, QStringLiteral("~/annotation-export"));
    QString path = withExtension(lastPath, format);
    if (path == QLatin1String("~") || path.startsWith(QLatin1String("~/")))
        path = QDir::homePath() + path.mid(1);
    return path;
}

QString rememberExportPath(const globalsClass &settingsOwner, const QString &answer,
                           export_format format)
{
    const QString path = withExtension(answer, format);
    openIniSettings(settingsOwner.settingsGeneral)
        ->setValue(settingskeys::pathsLastAnnExportfile, path);
    qDebug().noquote() << QStringLiteral("Using exportfile: ") + path;
    return path;
}

QString exportSeparator(const globalsClass &settingsOwner, export_format format)
{
    if (format != export_csv)
        return QStringLiteral(";");
    const QString separator = readString(*openIniSettings(settingsOwner.settingsGeneral),
                                         settingskeys::exporterCsvSeparator, QStringLiteral(";"));
    qDebug().noquote() << QStringLiteral("Using CSV separator: ") + separator;
    return separator;
}

bool writeExportFile(const QString &path, const QString &text)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        qWarning() << "Failed to open output file, cancelling export.";
        return false;
    }
    const QByteArray bytes = text.toUtf8();
    if (file.write(bytes) != bytes.size() || !file.commit()) {
        qWarning().noquote() << QStringLiteral("Failed to write output file, cancelling export: ") +
                                    file.errorString();
        return false;
    }
    return true;
}

QString exportedMessage(int count, const QString &destination)
{
    return QStringLiteral("Exported %1 highlights to %2").arg(QString::number(count), destination);
}
