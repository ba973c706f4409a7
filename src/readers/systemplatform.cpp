#include "readers/systemplatform.h"

#include "readers/qtmountsource.h"
#include "readers/udevblockdevices.h"
#include "readers/udevdevicemonitor.h"

ReaderPlatform makeSystemPlatform()
{
    return {std::make_shared<UdevBlockDevices>(), std::make_shared<QtMountSource>()};
}

std::shared_ptr<BlockDeviceMonitor> makeSystemDeviceMonitor()
{
    return std::make_shared<UdevDeviceMonitor>();
}
