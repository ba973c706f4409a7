#include "support/fakeplatform.h"

#include <algorithm>
#include <utility>

std::optional<std::vector<BlockDevice>> FakeBlockDevices::blockDevices()
{
    ++scans;
    return devices;
}

void FakeMounts::mount(const std::string &device, const std::filesystem::path &rootPath,
                       const std::string &displayName)
{
    volumes.push_back({device, rootPath, displayName, true});
}

void FakeMounts::unmount(const std::string &device)
{
    volumes.erase(std::remove_if(volumes.begin(), volumes.end(),
                                 [&](const MountedVolume &v) { return v.device == device; }),
                  volumes.end());
}

void FakeMounts::onWait(int nth, std::function<void()> action)
{
    m_onWait[nth] = std::move(action);
}

std::vector<MountedVolume> FakeMounts::mountedVolumes()
{
    return volumes;
}

void FakeMounts::waitBeforeRetry()
{
    ++waits;
    const auto found = m_onWait.find(waits);
    if (found == m_onWait.end())
        return;
    // Taken out first: the action may itself schedule further waits.
    const std::function<void()> action = std::move(found->second);
    m_onWait.erase(found);
    action();
}

ReaderPlatform makeFakePlatform(std::shared_ptr<FakeBlockDevices> blockDevices,
                                std::shared_ptr<FakeMounts> mounts)
{
    return {std::move(blockDevices), std::move(mounts)};
}

BlockDevice pocketBookDevice(const std::string &serial, const std::string &devName,
                             const std::string &fsLabel, const std::string &instance,
                             const std::string &modelId)
{
    BlockDevice device;
    device.vendorId = "fffe";
    device.modelId = modelId;
    device.serial = serial;
    device.fsLabel = fsLabel;
    device.devName = devName;
    device.instance = instance;
    return device;
}
