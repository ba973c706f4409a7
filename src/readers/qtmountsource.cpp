#include "readers/qtmountsource.h"

#include "core/textconv.h"

#include <QStorageInfo>

#include <chrono>
#include <thread>

std::vector<MountedVolume> QtMountSource::mountedVolumes()
{
    std::vector<MountedVolume> volumes;
    for (const QStorageInfo &storage : QStorageInfo::mountedVolumes()) {
        MountedVolume volume;
        // The registry compares the device node byte for byte with udev's DEVNAME.
        volume.device = storage.device().toStdString();
        volume.rootPath = toPath(storage.rootPath());
        volume.displayName = storage.displayName().toStdString();
        volume.valid = storage.isValid();
        volumes.push_back(std::move(volume));
    }
    return volumes;
}

void QtMountSource::waitBeforeRetry()
{
    // sleep_for resumes after a signal interrupts it, so the pause is never cut short.
    std::this_thread::sleep_for(std::chrono::seconds(2));
}
