#pragma once

#include "readers/platform.h"

struct udev;
struct udev_monitor;

/// Block-device events from udev's netlink monitor (the events udev sends after it has
/// stored a device's properties, so a later enumeration already sees them).
class UdevDeviceMonitor final : public BlockDeviceMonitor
{
public:
    UdevDeviceMonitor() = default;
    ~UdevDeviceMonitor() override;
    UdevDeviceMonitor(const UdevDeviceMonitor &) = delete;
    UdevDeviceMonitor &operator=(const UdevDeviceMonitor &) = delete;

    int start() override;
    bool readEvents() override;

private:
    udev *m_udev = nullptr;
    udev_monitor *m_monitor = nullptr;
};
