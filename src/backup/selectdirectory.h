#pragma once

#include <QString>

class QWidget;

/// Asks the user for an existing directory (through prompts()); a null text on cancel.
QString selectDirectory(QWidget *parent);
