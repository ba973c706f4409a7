#pragma once

#include "readers/platform.h"

/// The real machine: block devices from libudev, mounts from QStorageInfo, real pauses.
ReaderPlatform makeSystemPlatform();
