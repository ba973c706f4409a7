#include "core/prompts.h"

#include <QDebug>

namespace {

/// Answers without asking anybody: the default button (else the first one offered), and no
/// file or folder. Nothing blocks when no toolkit prompts are installed.
class DefaultAnswers final : public Prompts
{
public:
    Button message(Icon, QWidget *, const QString &title, const QString &, Buttons buttons,
                   Button defaultButton) override
    {
        qWarning() << "No prompts installed; answering without asking:" << title;
        if (defaultButton != NoButton)
            return defaultButton;
        for (int bit = Ok; bit <= Discard; bit <<= 1) {
            if (buttons.testFlag(static_cast<Button>(bit)))
                return static_cast<Button>(bit);
        }
        return NoButton;
    }
    QString existingDirectory(QWidget *, const QString &, const QString &) override
    {
        return QString();
    }
    QString saveFileName(QWidget *, const QString &, const QString &, const QString &) override
    {
        return QString();
    }
    QStringList openFileNames(QWidget *, const QString &, const QString &,
                              const QString &) override
    {
        return {};
    }
    bool openUrl(const QUrl &) override { return false; }
};

DefaultAnswers defaultAnswers;
Prompts *current = &defaultAnswers;

} // namespace

Prompts &prompts()
{
    return *current;
}

void setPrompts(Prompts *replacement)
{
    current = replacement ? replacement : &defaultAnswers;
}
