#pragma once

/// Registers the icons and the logo compiled into the GUI library. Resources in a static
/// library stay invisible at run time until this has been called once.
void initMarloxResources();
