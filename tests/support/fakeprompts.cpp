#include "support/fakeprompts.h"

FakePrompts::FakePrompts()
{
    setPrompts(this);
}

FakePrompts::~FakePrompts()
{
    setPrompts(nullptr);
}

QMessageBox::StandardButton FakePrompts::message(QMessageBox::Icon icon, QWidget *,
                                                 const QString &title, const QString &text,
                                                 QMessageBox::StandardButtons buttons,
                                                 QMessageBox::StandardButton)
{
    messages.append({icon, title, text});
    if (!m_answers.isEmpty())
        return m_answers.dequeue();
    for (int bit = QMessageBox::FirstButton; bit <= QMessageBox::LastButton; bit <<= 1) {
        if (buttons & bit)
            return static_cast<QMessageBox::StandardButton>(bit);
    }
    return QMessageBox::NoButton;
}

QString FakePrompts::nextFileName(const QString &caption)
{
    chooserCaptions.append(caption);
    return m_fileNames.isEmpty() ? QString() : m_fileNames.dequeue();
}

QString FakePrompts::existingDirectory(QWidget *, const QString &caption, const QString &,
                                       QFileDialog::Options)
{
    return nextFileName(caption);
}

QString FakePrompts::saveFileName(QWidget *, const QString &caption, const QString &,
                                  const QString &)
{
    return nextFileName(caption);
}

QStringList FakePrompts::openFileNames(QWidget *, const QString &caption, const QString &,
                                       const QString &)
{
    const QString name = nextFileName(caption);
    return name.isNull() ? QStringList() : QStringList{name};
}
