#include "backup/selectdirectory.h"

#include "mainwindow/prompts.h"

QString selectDirectory(QWidget *parent)
{
    return prompts().existingDirectory(parent, QStringLiteral("Select a directory"), QString(),
                                       QFileDialog::ShowDirsOnly);
}
