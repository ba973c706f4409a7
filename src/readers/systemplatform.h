#pragma once

#include "readers/platform.h"

/// The real machine: block devices from libudev, mounts from QStorageInfo, real pauses.
ReaderPlatform makeSystemPlatform();

/// The real block-device events: libudev's monitor.
std::shared_ptr<BlockDeviceMonitor> makeSystemDeviceMonitor();
