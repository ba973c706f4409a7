#pragma once

#include "readers/platform.h"

#include <functional>
#include <map>

/// Block devices chosen by the test. `devices` = nullopt makes the source fail as an
/// unreadable udev database does.
class FakeBlockDevices final : public BlockDeviceSource
{
public:
    std::optional<std::vector<BlockDevice>> devices = std::vector<BlockDevice>{};
    /// How many times the registry enumerated.
    int scans = 0;

    std::optional<std::vector<BlockDevice>> blockDevices() override;
};

/// Mounted volumes chosen by the test. Waiting returns at once; a test can run an action
/// during the Nth wait (for example mount the device the registry is waiting for).
class FakeMounts final : public MountSource
{
public:
    std::vector<MountedVolume> volumes;
    /// How many times the caller waited.
    int waits = 0;

    /// Adds a valid volume.
    void mount(const std::string &device, const std::filesystem::path &rootPath,
               const std::string &displayName);
    /// Removes every volume of this device node.
    void unmount(const std::string &device);
    /// Runs `action` inside the `nth` call of waitBeforeRetry() (counting from 1, over the
    /// fake's whole life).
    void onWait(int nth, std::function<void()> action);

    std::vector<MountedVolume> mountedVolumes() override;
    void waitBeforeRetry() override;

private:
    std::map<int, std::function<void()>> m_onWait;
};

/// A platform of the two fakes; the test keeps its own pointers to change them.
ReaderPlatform makeFakePlatform(std::shared_ptr<FakeBlockDevices> blockDevices,
                                std::shared_ptr<FakeMounts> mounts);

/// A PocketBook volume as udev reports it: vendor "fffe" and every property set.
/// Main memory and card of one reader share the serial and differ in node and instance.
BlockDevice pocketBookDevice(const std::string &serial, const std::string &devName,
                             const std::string &fsLabel = "PB632",
                             const std::string &instance = "0:0",
                             const std::string &modelId = "fff9");
