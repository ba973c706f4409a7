#pragma once

#include "readers/platform.h"
#include "readers/reader.h"

#include <filesystem>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class globalsClass;
class gui_msgchannel;

/// Where a device's volume is mounted and what the desktop calls it.
struct MountInfo
{
    std::filesystem::path mountpoint; // empty when not mounted
    std::string displayName;
};

/// What one local-mirror run copied.
struct LocalMirrorResult
{
    bool mainCopied = false;  // the explorer database
    bool dataChanged = false; // at least one profile database
};

/// The reader registry: owns every Reader, keeps the list in line with the device
/// preferences, udev and the mounted volumes, and announces each change on the message
/// channel in the order it happens. `readers_mutex` guards the list during adds and removes.
class ReaderData
{
public:
    ReaderData(std::shared_ptr<gui_msgchannel> channel, std::shared_ptr<globalsClass> globals,
               bool devicescanner, ReaderPlatform platform);

    void device_scan(bool firstScan);
    std::vector<std::string> scanLocalMirrors();
    std::vector<std::string> Enumerate_scan_devices(bool firstScan);
    void addReader(const DetectionRecord &record, bool firstScan);
    void addVirtualReader(const DetectionRecord &record);
    void removeReader(const std::string &serial, const std::string &devicePath, bool full);
    bool removeAllReaders();
    std::shared_ptr<Reader> findReader(const std::string &serial);

    MountInfo findMountPoint(const DetectionRecord &record, int retries);
    /// Whether `device` is mounted at `root` right now (read afresh); any thread.
    bool isMountedVolume(const std::filesystem::path &root, const std::string &device);
    /// Stores one mount (part 0 main memory, 2 card); true when it was already known.
    bool setMountPath(Reader &reader, int part, const DetectionRecord &record,
                      const std::filesystem::path &mountpoint, const std::string &displayName);

    /// Copies the reader's databases into its mirror folder (part 0 main, 1 all, 2 card).
    LocalMirrorResult localDBmirror(Reader &reader, int part, bool force);

    std::filesystem::path datadirSubfolder(const std::string &serial, int kind) const;

    /// Loads a backup archive (".zip") or an explorer database file (".db") as a virtual
    /// reader with `serial` (see virtualreader.h). False, with the reason in `why`, when no
    /// reader was added; nothing is left on disk then.
    bool ScanDBfile(const std::filesystem::path &path, const std::string &serial,
                    const std::string &name, bool fromDialog, bool permanent, int vendor,
                    std::string *why = nullptr);
    /// A serial for a new virtual reader that no reader and no extraction folder uses yet.
    std::string newVirtualSerial();
    /// Removes the extraction folders of virtual readers that are no longer registered.
    void removeStaleVirtualFolders();

    std::shared_ptr<gui_msgchannel> msgchannel;
    std::list<std::shared_ptr<Reader>> readers;
    std::mutex readers_mutex;
    std::shared_ptr<globalsClass> globals;
    bool devicescanner = false;

private:
    std::shared_ptr<Reader> findReaderLocked(const std::string &serial) const;

    ReaderPlatform m_platform;
};
