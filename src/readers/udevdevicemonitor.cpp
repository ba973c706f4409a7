#include "readers/udevdevicemonitor.h"

#include <QtGlobal>

#include <libudev.h>

#include <cstring>

UdevDeviceMonitor::~UdevDeviceMonitor()
{
    if (m_monitor != nullptr)
        udev_monitor_unref(m_monitor);
    if (m_udev != nullptr)
        udev_unref(m_udev);
}

int UdevDeviceMonitor::start()
{
    if (m_monitor != nullptr)
        return udev_monitor_get_fd(m_monitor);
    m_udev = udev_new();
    if (m_udev == nullptr) {
        qWarning("udev_new creation failed.");
        return -1;
    }
    m_monitor = udev_monitor_new_from_netlink(m_udev, "udev");
    if (m_monitor == nullptr ||
        udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "block", nullptr) < 0 ||
        udev_monitor_enable_receiving(m_monitor) < 0) {
        qWarning("Device monitor could not listen to udev; use rescan/F5 instead.");
        if (m_monitor != nullptr)
            udev_monitor_unref(m_monitor);
        m_monitor = nullptr;
        return -1;
    }
    return udev_monitor_get_fd(m_monitor);
}

bool UdevDeviceMonitor::readEvents()
{
    if (m_monitor == nullptr)
        return false;
    bool changed = false;
    // The socket does not block: a null device means nothing more is waiting.
    while (udev_device *device = udev_monitor_receive_device(m_monitor)) {
        const char *action = udev_device_get_action(device);
        if (action != nullptr && (std::strcmp(action, "add") == 0 || std::strcmp(action, "remove") == 0))
            changed = true;
        udev_device_unref(device);
    }
    return changed;
}
