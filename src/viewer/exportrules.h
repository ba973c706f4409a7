#pragma once

#include "viewer/exporttypes.h"

#include <QString>

#include <filesystem>

class globalsClass;

/// What an export does besides asking for a file and filling the clipboard: the file's
/// extension and folder, the CSV separator, writing the file and the status-bar message.

/// `path` with the extension of the format (txt, html, csv, md); other formats leave it as is.
std::filesystem::path exportPathWithExtension(const std::filesystem::path &path, int format);

/// The path offered in the file chooser: the last export file with the format's extension,
/// a leading "~" expanded (no file dialog expands it by itself).
QString exportSuggestedPath(const globalsClass &settingsOwner, export_format format);

/// Remembers the chosen file with the format's extension and returns that path.
QString rememberExportPath(const globalsClass &settingsOwner, const QString &answer,
                           export_format format);

/// The separator of a CSV export from the settings; ";" for the other formats.
QString exportSeparator(const globalsClass &settingsOwner, export_format format);

/// Writes the text as UTF-8 beside the target and renames it into place only when all was
/// written, so a failed export never leaves a partial file or destroys the previous one.
bool writeExportFile(const QString &path, const QString &text);

/// "Exported N highlights to DESTINATION".
QString exportedMessage(int count, const QString &destination);
