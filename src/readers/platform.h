#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

/// The machine's side of device detection, behind small interfaces so that tests can hand
/// in their own devices and mounts. Real implementations: libudev and QStorageInfo.

/// One block device as udev describes it; a property udev does not have is empty (nullopt).
struct BlockDevice
{
    std::optional<std::string> vendorId;   // ID_VENDOR_ID
    std::optional<std::string> modelId;    // ID_MODEL_ID
    std::optional<std::string> serial;     // ID_SERIAL_SHORT
    std::optional<std::string> fsLabel;    // ID_FS_LABEL
    std::optional<std::string> devName;    // DEVNAME
    std::optional<std::string> instance;   // ID_INSTANCE
};

class BlockDeviceSource
{
public:
    virtual ~BlockDeviceSource() = default;
    /// Every block device of the system; nullopt when the udev database cannot be read
    /// (the reason is logged).
    virtual std::optional<std::vector<BlockDevice>> blockDevices() = 0;
};

/// One mounted volume: its device node, where it is mounted and what the desktop calls it.
struct MountedVolume
{
    std::string device;
    std::filesystem::path rootPath;
    std::string displayName;
    bool valid = true;
};

class MountSource
{
public:
    virtual ~MountSource() = default;
    /// The volumes mounted right now (read afresh on every call).
    virtual std::vector<MountedVolume> mountedVolumes() = 0;
    /// The pause between two looks for a device that is not mounted yet (2 seconds).
    virtual void waitBeforeRetry() = 0;
};

/// What the registry needs of the machine. main() builds the real one; tests their own.
struct ReaderPlatform
{
    std::shared_ptr<BlockDeviceSource> blockDevices;
    std::shared_ptr<MountSource> mounts;
};

/// Block devices coming and going, as the kernel announces them. Not part of
/// ReaderPlatform: only the window listens, the registry never does.
class BlockDeviceMonitor
{
public:
    virtual ~BlockDeviceMonitor() = default;
    /// Starts listening; the descriptor that becomes readable when events wait, or -1
    /// when listening is not possible (the reason is logged).
    virtual int start() = 0;
    /// Reads every waiting event without blocking; true when a block device was added or
    /// removed among them.
    virtual bool readEvents() = 0;
};
