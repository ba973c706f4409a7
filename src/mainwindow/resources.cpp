#include "mainwindow/resources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE must be called from the global namespace.
static void initResourcesOnce()
{
    Q_INIT_RESOURCE(marlox);
}

void initMarloxResources()
{
    static const bool done = (initResourcesOnce(), true);
    Q_UNUSED(done);
}
