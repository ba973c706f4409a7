#include "mainwindow/qtprompts.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>

namespace {

static_assert(int(Prompts::Ok) == int(QMessageBox::Ok) && int(Prompts::Yes) == QMessageBox::Yes &&
                  int(Prompts::No) == QMessageBox::No &&
                  int(Prompts::Cancel) == QMessageBox::Cancel &&
                  int(Prompts::Discard) == QMessageBox::Discard &&
                  int(Prompts::Help) == QMessageBox::Help,
              "prompt buttons carry the toolkit's values");
static_assert(int(Prompts::Warning) == QMessageBox::Warning &&
                  int(Prompts::Question) == QMessageBox::Question,
              "prompt icons carry the toolkit's values");

class QtPrompts final : public Prompts
{
public:
    Button message(Icon icon, QWidget *parent, const QString &title, const QString &text,
                   Buttons buttons, Button defaultButton) override
    {
        QMessageBox box(static_cast<QMessageBox::Icon>(icon), title, text,
                        QMessageBox::StandardButtons(int(buttons)), parent);
        box.setDefaultButton(static_cast<QMessageBox::StandardButton>(defaultButton));
        return static_cast<Button>(box.exec());
    }

    Button detailedMessage(Icon icon, QWidget *parent, const QString &title,
                           const QString &text, const QString &details, Buttons buttons,
                           Button defaultButton) override
    {
        QMessageBox box(static_cast<QMessageBox::Icon>(icon), title, text,
                        QMessageBox::StandardButtons(int(buttons)), parent);
        box.setDefaultButton(static_cast<QMessageBox::StandardButton>(defaultButton));
        box.setDetailedText(details);
        return static_cast<Button>(box.exec());
    }

    QString existingDirectory(QWidget *parent, const QString &caption,
                              const QString &dir) override
    {
        return QFileDialog::getExistingDirectory(parent, caption, dir, QFileDialog::ShowDirsOnly);
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

    Button report(Icon icon, QWidget *parent, const QString &title, const QString &informative,
                  const QString &details) override
    {
        QMessageBox box(static_cast<QMessageBox::Icon>(icon), title, title, QMessageBox::Ok,
                        parent);
        box.setInformativeText(informative);
        box.setDetailedText(details);
        box.setDefaultButton(QMessageBox::Ok);
        return static_cast<Button>(box.exec());
    }
};

} // namespace

Prompts &toolkitPrompts()
{
    static QtPrompts instance;
    return instance;
}
