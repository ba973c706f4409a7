#include "mainwindow/prompts.h"

#include <QDesktopServices>

namespace {

class QtPrompts final : public Prompts
{
public:
    QMessageBox::StandardButton message(QMessageBox::Icon icon, QWidget *parent,
                                        const QString &title, const QString &text,
                                        QMessageBox::StandardButtons buttons,
                                        QMessageBox::StandardButton defaultButton) override
    {
        QMessageBox box(icon, title, text, buttons, parent);
        box.setDefaultButton(defaultButton);
        return static_cast<QMessageBox::StandardButton>(box.exec());
    }

    QString existingDirectory(QWidget *parent, const QString &caption, const QString &dir,
                              QFileDialog::Options options) override
    {
        return QFileDialog::getExistingDirectory(parent, caption, dir, options);
    }

    QString saveFileName(QWidget *parent, const QString &caption, const QString &dir,
                         const QString &filter) override
    {
        return QFileDialog::getSaveFileName(parent, caption, dir, filter);
    }

    QStringList openFileNames(QWidget *parent, const QString &caption, const QString &dir,
                              const QString &filter) override
    {
        return QFileDialog::getOpenFileNames(parent, caption, dir, filter);
    }

    bool openUrl(const QUrl &url) override { return QDesktopServices::openUrl(url); }
};

QtPrompts realPrompts;
Prompts *current = &realPrompts;

} // namespace

Prompts &prompts()
{
    return *current;
}

void setPrompts(Prompts *replacement)
{
    current = replacement ? replacement : &realPrompts;
}
