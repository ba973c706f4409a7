#include "backup/selectdirectory.h"

#include "core/prompts.h"

QString selectDirectory(QWidget *parent)
{
    return prompts().existingDirectory(parent, QStringLiteral("Select a directory"), QString());
}
