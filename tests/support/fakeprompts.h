#pragma once

#include "core/prompts.h"

#include <QList>
#include <QQueue>

/// Answers message boxes and file choosers from a script and records what was asked.
/// Installs itself on construction and restores the default answers when destroyed.
class FakePrompts final : public Prompts
{
public:
    struct Asked
    {
        Icon icon;
        QString title;
        QString text;
        QString details{}; // of detailedMessage()
    };
    struct Chooser
    {
        QString caption;
        QString dir;
        QString filter;
    };

    FakePrompts();
    ~FakePrompts() override;

    /// Queues the answer of the next message box; unscripted boxes answer with their first button.
    void setNextAnswer(Button answer) { m_answers.enqueue(answer); }
    /// Queues the path the next file or folder chooser returns (a null text means "cancel").
    void setNextFileName(const QString &path) { m_fileNames.enqueue(path); }

    QList<Asked> messages;
    QList<Chooser> choosers;
    QList<QUrl> openedUrls;

    Button message(Icon icon, QWidget *parent, const QString &title, const QString &text,
                   Buttons buttons, Button defaultButton) override;
    Button detailedMessage(Icon icon, QWidget *parent, const QString &title, const QString &text,
                           const QString &details, Buttons buttons,
                           Button defaultButton) override;
    QString existingDirectory(QWidget *parent, const QString &caption,
                              const QString &dir) override;
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
    QString nextFileName(const Chooser &asked);

    QQueue<Button> m_answers;
    QQueue<QString> m_fileNames;
};
