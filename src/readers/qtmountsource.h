#pragma once

#include "readers/platform.h"

/// The mounted volumes as QStorageInfo lists them, and a real two-second pause between
/// looks. Keeps no state; safe to call from any thread.
class QtMountSource final : public MountSource
{
public:
    std::vector<MountedVolume> mountedVolumes() override;
    void waitBeforeRetry() override;
};
