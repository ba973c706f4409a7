#pragma once

#include <QFlags>
#include <QString>
#include <QStringList>
#include <QUrl>

class QWidget; // the window a prompt is centred over; only the toolkit's prompts look at it

/// Every message box, file or folder chooser and hand-over to the desktop goes through here,
/// so that tests can answer them. The toolkit's dialogs live in the GUI library and main()
/// installs them; until then (and in widget-free code run alone) every box answers its
/// default button and every chooser is cancelled. GUI thread only.
class Prompts
{
public:
    // The toolkit's own values for its standard buttons, so that the GUI side converts with a
    // cast; a static_assert there keeps them equal.
    enum Button : int {
        NoButton = 0,
        Ok = 0x00000400,
        Save = 0x00000800,
        Open = 0x00002000,
        Yes = 0x00004000,
        YesToAll = 0x00008000,
        No = 0x00010000,
        NoToAll = 0x00020000,
        Abort = 0x00040000,
        Retry = 0x00080000,
        Ignore = 0x00100000,
        Close = 0x00200000,
        Cancel = 0x00400000,
        Discard = 0x00800000,
        Help = 0x01000000,
    };
    Q_DECLARE_FLAGS(Buttons, Button)
    enum Icon : int { NoIcon = 0, Information = 1, Warning = 2, Critical = 3, Question = 4 };

    virtual ~Prompts() = default;

    virtual Button message(Icon icon, QWidget *parent, const QString &title, const QString &text,
                           Buttons buttons = Ok, Button defaultButton = NoButton) = 0;
    /// A box with a report behind its "Show Details..." button; where the details cannot be
    /// shown, the plain box.
    virtual Button detailedMessage(Icon icon, QWidget *parent, const QString &title,
                                   const QString &text, const QString &details,
                                   Buttons buttons = Ok, Button defaultButton = NoButton)
    {
        Q_UNUSED(details)
        return message(icon, parent, title, text, buttons, defaultButton);
    }
    /// An existing folder (folders only shown); a null text when the user cancelled.
    virtual QString existingDirectory(QWidget *parent, const QString &caption,
                                      const QString &dir) = 0;
    virtual QString saveFileName(QWidget *parent, const QString &caption, const QString &dir,
                                 const QString &filter) = 0;
    virtual QStringList openFileNames(QWidget *parent, const QString &caption, const QString &dir,
                                      const QString &filter) = 0;
    /// Hands a file, folder or web address to the desktop's default application.
    virtual bool openUrl(const QUrl &url) = 0;
    /// A box with OK whose text is `title`, with `informative` (rich text) below it and
    /// `details` behind a button. Unless overridden, one message holding all three.
    virtual Button report(Icon icon, QWidget *parent, const QString &title,
                          const QString &informative, const QString &details)
    {
        return message(icon, parent, title,
                       title + QLatin1Char('\n') + informative + QLatin1Char('\n') + details, Ok,
                       Ok);
    }

    Button warning(QWidget *parent, const QString &title, const QString &text,
                   Buttons buttons = Ok)
    {
        return message(Warning, parent, title, text, buttons);
    }
    Button critical(QWidget *parent, const QString &title, const QString &text,
                    Buttons buttons = Ok)
    {
        return message(Critical, parent, title, text, buttons);
    }
    Button information(QWidget *parent, const QString &title, const QString &text,
                       Buttons buttons = Ok)
    {
        return message(Information, parent, title, text, buttons);
    }
    Button question(QWidget *parent, const QString &title, const QString &text,
                    Buttons buttons = Buttons(Yes) | No)
    {
        return message(Question, parent, title, text, buttons);
    }
};
Q_DECLARE_OPERATORS_FOR_FLAGS(Prompts::Buttons)

/// The prompts in use: the installed ones, else the silent default answers.
Prompts &prompts();
/// Installs `replacement` (not owned); nullptr goes back to the silent default answers.
void setPrompts(Prompts *replacement);
