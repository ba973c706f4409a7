#pragma once

#include <QDialog>
#include <QScopedPointer>
#include <QTextDocument>

#include <filesystem>

namespace Ui {
class textViewer;
}

/// Shows a local HTML or Markdown file (the help, the change log), optionally at an anchor.
class textViewer final : public QDialog
{
    Q_OBJECT
public:
    textViewer(const std::filesystem::path &path, const QString &fragment, QWidget *parent,
               QTextDocument::ResourceType type);
    ~textViewer() override;

    QString shownHtml() const;

private:
    const QScopedPointer<Ui::textViewer> m_ui;
};
