#pragma once

#include "readers/platform.h"

/// The system's block devices as the udev database describes them, read through libudev.
/// Keeps no state: every call opens its own udev context and releases it before returning.
/// Failures are logged and come back as nullopt.
class UdevBlockDevices final : public BlockDeviceSource
{
public:
    std::optional<std::vector<BlockDevice>> blockDevices() override;
};
