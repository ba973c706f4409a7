#pragma once

#include "core/prompts.h"

/// The toolkit's message boxes, file choosers and desktop URL handler behind the prompts
/// interface. main() installs them with setPrompts(&toolkitPrompts()).
Prompts &toolkitPrompts();
