#pragma once

#include "viewer/exporttypes.h"

#include <QString>

#include <memory>

class QItemSelectionModel;
class QWidget;
class globalsClass;

/// Exports the rows selected in the annotation viewer in its constructor: to a file the user
/// chooses, or to the clipboard. message() tells the outcome for the status bar; it is empty
/// when nothing was exported (dialog cancelled, file not written). GUI thread only.
class AnnotationExporter
{
public:
    AnnotationExporter(QItemSelectionModel *selection, std::shared_ptr<globalsClass> settingsOwner,
                       export_output output, export_format format, export_sortmode sortmode,
                       QWidget *parent, bool fromcontextmenu);
    AnnotationExporter(const AnnotationExporter &) = delete;
    AnnotationExporter &operator=(const AnnotationExporter &) = delete;

    /// "Exported N highlights to PATH" (or "to clipboard"), or empty.
    QString message() const;

private:
    /// Asks for the export file and remembers it; an empty text when the user cancelled.
    QString chooseExportFile(export_format format, QWidget *parent) const;
    void copyToClipboard(export_format format) const;

    std::shared_ptr<globalsClass> m_settingsOwner;
    QString m_path;
    QString m_text;
    QString m_message;
};
