#include "readers/udevblockdevices.h"

#include <QtGlobal>

#include <libudev.h>

#include <memory>

namespace {

struct UdevRelease
{
    void operator()(udev *context) const { udev_unref(context); }
    void operator()(udev_enumerate *enumeration) const { udev_enumerate_unref(enumeration); }
    void operator()(udev_device *device) const { udev_device_unref(device); }
};

template <typename T> using UdevPtr = std::unique_ptr<T, UdevRelease>;

std::optional<std::string> property(udev_device *device, const char *key)
{
    const char *value = udev_device_get_property_value(device, key);
    if (value == nullptr)
        return std::nullopt;
    return std::string(value);
}

} // namespace

std::optional<std::vector<BlockDevice>> UdevBlockDevices::blockDevices()
{
    const UdevPtr<udev> context(udev_new());
    if (!context) {
        qWarning("udev_new creation failed.");
        return std::nullopt;
    }
    const UdevPtr<udev_enumerate> enumeration(udev_enumerate_new(context.get()));
    if (!enumeration) {
        qWarning("Enumerate creation failed.\n");
        return std::nullopt;
    }
    if (udev_enumerate_add_match_subsystem(enumeration.get(), "block") < 0 ||
        udev_enumerate_scan_devices(enumeration.get()) < 0) {
        qDebug("Enumerate_scan_devices failed");
        return std::nullopt;
    }
    udev_list_entry *first = udev_enumerate_get_list_entry(enumeration.get());
    if (first == nullptr) {
        qWarning("Enumerate_get_list_entry failed.");
        return std::nullopt;
    }

    std::vector<BlockDevice> devices;
    udev_list_entry *entry = nullptr;
    udev_list_entry_foreach(entry, first)
    {
        const UdevPtr<udev_device> device(
            udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
        // A device unplugged between the scan and this look-up has no entry any more.
        if (!device)
            continue;
        BlockDevice found;
        found.vendorId = property(device.get(), "ID_VENDOR_ID");
        found.modelId = property(device.get(), "ID_MODEL_ID");
        found.serial = property(device.get(), "ID_SERIAL_SHORT");
        found.fsLabel = property(device.get(), "ID_FS_LABEL");
        found.devName = property(device.get(), "DEVNAME");
        found.instance = property(device.get(), "ID_INSTANCE");
        devices.push_back(std::move(found));
    }
    return devices;
}
