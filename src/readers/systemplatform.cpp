#include "readers/systemplatform.h"

#include "readers/qtmountsource.h"
#include "readers/udevblockdevices.h"

ReaderPlatform makeSystemPlatform()
{
    return {std::make_shared<UdevBlockDevices>(), std::make_shared<QtMountSource>()};
}
