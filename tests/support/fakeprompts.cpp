#include "support/fakeprompts.h"

FakePrompts::FakePrompts()
{
    setPrompts(this);
}

FakePrompts::~FakePrompts()
{
    setPrompts(nullptr);
}

Prompts::Button FakePrompts::message(Icon icon, QWidget *, const QString &title,
                                     const QString &text, Buttons buttons, Button)
{
    messages.append({icon, title, text, QString()});
    if (!m_answers.isEmpty())
        return m_answers.dequeue();
    for (int bit = Ok; bit <= Discard; bit <<= 1) {
        if (buttons.testFlag(static_cast<Button>(bit)))
            return static_cast<Button>(bit);
    }
    return NoButton;
}

QString FakePrompts::nextFileName(const Chooser &asked)
{
    choosers.append(asked);
    return m_fileNames.isEmpty() ? QString() : m_fileNames.dequeue();
}

QString FakePrompts::existingDirectory(QWidget *, const QString &caption, const QString &dir)
{
    return nextFileName({caption, dir, QString()});
}

QString FakePrompts::saveFileName(QWidget *, const QString &caption, const QString &dir,
                                  const QString &filter)
{
    return nextFileName({caption, dir, filter});
}

QStringList FakePrompts::openFileNames(QWidget *, const QString &caption, const QString &dir,
                                       const QString &filter)
{
    const QString name = nextFileName({caption, dir, filter});
    return name.isNull() ? QStringList() : QStringList{name};
}

Prompts::Button FakePrompts::detailedMessage(Icon icon, QWidget *parent, const QString &title,
                                             const QString &text, const QString &details,
                                             Buttons buttons, Button defaultButton)
{
    const Button answer = message(icon, parent, title, text, buttons, defaultButton);
    messages.last().details = details;
    return answer;
}
