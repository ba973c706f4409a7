#pragma once

#include <QFileDialog>
#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <QUrl>

class QWidget;

/// Every message box, file or folder chooser and hand-over to the desktop goes through here,
/// so that tests can answer them. The real implementation shows the toolkit's dialogs.
class Prompts
{
public:
    virtual ~Prompts() = default;

    virtual QMessageBox::StandardButton
    message(QMessageBox::Icon icon, QWidget *parent, const QString &title, const QString &text,
            QMessageBox::StandardButtons buttons = QMessageBox::Ok,
            QMessageBox::StandardButton defaultButton = QMessageBox::NoButton) = 0;
    virtual QString existingDirectory(QWidget *parent, const QString &caption, const QString &dir,
                                      QFileDialog::Options options) = 0;
    virtual QString saveFileName(QWidget *parent, const QString &caption, const QString &dir,
                                 const QString &filter) = 0;
    virtual QStringList openFileNames(QWidget *parent, const QString &caption, const QString &dir,
                                      const QString &filter) = 0;
    /// Hands a file, folder or web address to the desktop's default application.
    virtual bool openUrl(const QUrl &url) = 0;

    QMessageBox::StandardButton warning(QWidget *parent, const QString &title,
                                        const QString &text,
                                        QMessageBox::StandardButtons buttons = QMessageBox::Ok)
    {
        return message(QMessageBox::Warning, parent, title, text, buttons);
    }
    QMessageBox::StandardButton information(QWidget *parent, const QString &title,
                                            const QString &text,
                                            QMessageBox::StandardButtons buttons = QMessageBox::Ok)
    {
        return message(QMessageBox::Information, parent, title, text, buttons);
    }
    QMessageBox::StandardButton question(QWidget *parent, const QString &title,
                                         const QString &text,
                                         QMessageBox::StandardButtons buttons = QMessageBox::Yes |
                                                                                QMessageBox::No)
    {
        return message(QMessageBox::Question, parent, title, text, buttons);
    }
};

/// The prompts in use: the toolkit's dialogs unless a test installed its own.
Prompts &prompts();
/// Installs `replacement` (not owned); nullptr goes back to the toolkit's dialogs.
void setPrompts(Prompts *replacement);
