#pragma once

#include "mainwindow/prompts.h"

#include <QList>
#include <QQueue>

/// Answers message boxes and file choosers from a script and records what was asked.
/// Installs itself on construction and restores the real prompts when destroyed.
class FakePrompts final : public Prompts
{
public:
    struct Asked
    {
        QMessageBox::Icon icon;
        QString title;
        QString text;
    };

    FakePrompts();
    ~FakePrompts() override;

    /// Queues the answer of the next message box; unscripted boxes answer with their first button.
    void setNextAnswer(QMessageBox::StandardButton answer) { m_answers.enqueue(answer); }
    /// Queues the path the next file or folder chooser returns (a null text means "cancel").
    void setNextFileName(const QString &path) { m_fileNames.enqueue(path); }

    QList<Asked> messages;
    QStringList chooserCaptions;
    QList<QUrl> openedUrls;

    QMessageBox::StandardButton message(QMessageBox::Icon icon, QWidget *parent,
                                        const QString &title, const QString &text,
                                        QMessageBox::StandardButtons buttons,
                                        QMessageBox::StandardButton defaultButton) override;
    QString existingDirectory(QWidget *parent, const QString &caption, const QString &dir,
                              QFileDialog::Options options) override;
    QString saveFileName(QWidget *parent, const QString &caption, const QString &dir,
                         const QString &filter) override;
    QStringList openFileNames(QWidget *parent, const QString &caption, const QString &dir,
                              const QString &filter) override;
    bool openUrl(const QUrl &url) override
    {
        openedUrls.append(url);
        return true;
    }

private:
    QString nextFileName(const QString &caption);

    QQueue<QMessageBox::StandardButton> m_answers;
    QQueue<QString> m_fileNames;
};
