#pragma once

#include "maintenance/checkdbrun.h"

#include <memory>
#include <vector>

class QWidget;
class Reader;
class globalsClass;

/// Checks every database of `reader` off the GUI thread behind a progress dialog that names
/// the database being checked (cancel stops before the next one), then shows the verdict
/// with the full report as details; Help opens the help at the check's topic.
void runCheckDbTool(const std::shared_ptr<Reader> &reader,
                    const std::shared_ptr<globalsClass> &globals, QWidget *parent);

/// The worker part alone: runs the check on a thread of its own while the progress dialog
/// keeps the window responsive.
CheckDbSummary runCheckDbInBackground(const std::vector<CheckDbTarget> &targets, QWidget *parent);
