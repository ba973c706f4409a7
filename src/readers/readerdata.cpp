#include "readers/readerdata.h"

#include "core/datadir.h"
#include "core/globalsclass.h"
#include "core/settingsstore.h"
#include "core/textconv.h"
#include "readers/gui_msgchannel.h"

#include <QDebug>

#include <algorithm>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// The USB vendor id PocketBook readers report, compared exactly as udev gives it.
const char *const pocketbookVendorId = "fffe";

enum mountPart { part_main = 0, part_all = 1, part_card = 2 };

bool contains(const std::vector<std::string> &list, const std::string &value)
{
    return std::find(list.begin(), list.end(), value) != list.end();
}

} // namespace

ReaderData::ReaderData(std::shared_ptr<gui_msgchannel> channel,
                       std::shared_ptr<globalsClass> globalState, bool scanner,
                       ReaderPlatform platform)
    : msgchannel(std::move(channel))
    , globals(std::move(globalState))
    , devicescanner(scanner)
    , m_platform(std::move(platform))
{
}

std::shared_ptr<Reader> ReaderData::findReaderLocked(const std::string &serial) const
{
    for (const auto &reader : readers) {
        if (reader->serial == serial)
            return reader;
    }
    return nullptr;
}

std::shared_ptr<Reader> ReaderData::findReader(const std::string &serial)
{
    std::lock_guard<std::mutex> lock(readers_mutex);
    return findReaderLocked(serial);
}

fs::path ReaderData::datadirSubfolder(const std::string &serial, int kind) const
{
    return ::datadirSubfolder(*globals, serial, kind);
}

void ReaderData::device_scan(bool firstScan)
{
    qDebug() << "Starting device scan.";
    if (firstScan)
        removeStaleVirtualFolders();
    const std::vector<std::string> prefSerials = scanLocalMirrors();
    const std::vector<std::string> connectedSerials = Enumerate_scan_devices(firstScan);

    // removeReader unlinks from the list: step on before the current reader may go.
    for (auto it = readers.begin(); it != readers.end();) {
        const std::shared_ptr<Reader> reader = *it++;
        const bool attached = contains(connectedSerials, reader->serial);
        if (reader->readertype == readertype_device) {
            if (!attached) {
                qDebug() << "Reader was apparently disconnected, removing (fully)...";
                removeReader(reader->serial, {}, false);
            }
            continue;
        }
        if (reader->connected && !attached) {
            qDebug() << "Reader was apparently disconnected, removing (partially)...";
            removeReader(reader->serial, {}, false);
        }
        // Readers loaded from a file for this run are never in the preferences: they stay
        // until the user removes them, and the selector keeps showing them.
        if (reader->readertype == readertype_virtual_run ||
            reader->readertype == readertype_virtual_temp)
            continue;
        if (!contains(prefSerials, reader->serial)) {
            qDebug() << "Virtual reader was removed from prefs, removing:" << toQString(reader->serial);
            removeReader(reader->serial, {}, true);
        }
    }
}

std::vector<std::string> ReaderData::scanLocalMirrors()
{
    qDebug() << "Adding local mirrors entries from:" << toQString(globals->settingsDevices);
    std::vector<DevicePreference> prefs;
    {
        const auto settings = openIniSettings(globals->settingsDevices);
        if (settings->status() != QSettings::NoError) {
            qWarning() << "Scan local mirrors failed to access device preferences. Skipping.";
            return {};
        }
        prefs = readDevicePreferences(*settings);
    }

    std::vector<std::string> serials;
    for (const DevicePreference &pref : prefs) {
        if (pref.serial.empty()) {
            qWarning() << "Device preference key is empty, skipping";
            continue;
        }
        if (pref.readerType < 1 || pref.vendor == 0)
            continue;
        qDebug() << "Found local mirror serial: " << toQString(pref.serial);
        serials.push_back(pref.serial);
        DetectionRecord record;
        record.kind = pref.readerType;
        record.vendor = pref.vendor;
        record.serial = pref.serial;
        record.name = pref.name;
        addVirtualReader(record);
    }
    return serials;
}

std::vector<std::string> ReaderData::Enumerate_scan_devices(bool firstScan)
{
    std::vector<std::string> serials;
    const std::optional<std::vector<BlockDevice>> devices = m_platform.blockDevices->blockDevices();
    if (!devices)
        return serials;

    for (const BlockDevice &device : *devices) {
        // A volume without a file-system label is not a reader's volume.
        if (!device.vendorId || !device.modelId || !device.serial || !device.fsLabel)
            continue;
        if (*device.vendorId != pocketbookVendorId) {
            qDebug() << "Ignoring unsupported USB device with vendorID:"
                     << toQString(*device.vendorId);
            continue;
        }
        qDebug() << "Found device with compatible vendor ID and a serial.";
        // Every partition has a node and an instance; anything else is not a volume we can use.
        if (!device.devName || !device.instance || device.serial->empty())
            continue;
        DetectionRecord record;
        record.kind = readertype_device;
        record.vendor = vendor_pocketbook;
        record.serial = *device.serial;
        record.devnode = *device.devName;
        record.instance = *device.instance;
        addReader(record, firstScan);
        serials.push_back(record.serial);
    }
    return serials;
}

MountInfo ReaderData::findMountPoint(const DetectionRecord &record, int retries)
{
    for (;;) {
        for (const MountedVolume &volume : m_platform.mounts->mountedVolumes()) {
            if (volume.valid && volume.device == record.devnode)
                return {volume.rootPath, volume.displayName};
        }
        if (retries < 1)
            return {};
        qWarning() << "Got no device name, retrying...";
        m_platform.mounts->waitBeforeRetry();
        --retries;
    }
}

bool ReaderData::isMountedVolume(const fs::path &root, const std::string &device)
{
    if (root.empty() || device.empty())
        return false;
    for (const MountedVolume &volume : m_platform.mounts->mountedVolumes()) {
        if (volume.valid && volume.device == device && volume.rootPath == root)
            return true;
    }
    return false;
}

bool ReaderData::setMountPath(Reader &reader, int part, const DetectionRecord &record,
                              const fs::path &mountpoint, const std::string &displayName)
{
    const bool main = part == part_main;
    fs::path &path = main ? reader.mainpath : reader.cardpath;
    if (!path.empty() && path == mountpoint) {
        qDebug() << (main ? "Identical mainpath present. Skipping"
                          : "Identical cardpath present. Skipping")
                 << toQString(mountpoint);
        return true;
    }
    (main ? reader.maindevice : reader.carddevice) = record.devnode;
    path = mountpoint;
    (main ? reader.name : reader.cardname) = displayName;
    return false;
}

void ReaderData::addReader(const DetectionRecord &record, bool)
{
    std::lock_guard<std::mutex> lock(readers_mutex);

    std::shared_ptr<Reader> reader = findReaderLocked(record.serial);
    const bool existed = reader != nullptr;
    if (existed) {
        qDebug() << "Found existing Reader instance";
    } else {
        qDebug() << "Creating new reader instance";
        reader = std::make_shared<Reader>(record);
        reader->owner = this;
        readers.push_back(reader);
    }
    auto forgetNewReader = [&] {
        if (!existed)
            readers.remove(reader);
    };

    const MountInfo mount = findMountPoint(record, 4);
    std::error_code ec;
    // A volume can be unmounted between the lookup and now; it then counts as never mounted.
    if (mount.mountpoint.empty() || !fs::is_directory(mount.mountpoint, ec)) {
        qWarning() << "Skipping device (not mounted). If incorrect, increase wait time before "
                      "adding device.";
        msgchannel->device_NotMountedWarning(record.serial);
        forgetNewReader();
        return;
    }

    if (record.kind == readertype_device && !reader->connected)
        reader->connected = true;

    const ExplorerDbInfo explorer = reader->get_db_main(mount.mountpoint);
    if (explorer.version < 0)
        return;

    const bool isMain = !explorer.path.empty();
    bool alreadyKnown = false;
    int found = 0;
    if (isMain) {
        alreadyKnown = setMountPath(*reader, part_main, record, mount.mountpoint,
                                    mount.displayName);
        reader->db_main = explorer.path;
        reader->dbversion = explorer.version;
        reader->db_main_relative = explorer.path.lexically_relative(mount.mountpoint);
        if (!(alreadyKnown && devicescanner))
            found = reader->processProfiles(mount.mountpoint, 0);
    } else {
        alreadyKnown = setMountPath(*reader, part_card, record, mount.mountpoint,
                                    mount.displayName);
        if (!(alreadyKnown && devicescanner))
            found = reader->processProfiles(mount.mountpoint, 2);
    }

    bool synced = false;
    if (found > 0 && reader->readertype == readertype_localmirror)
        synced = localDBmirror(*reader, isMain ? part_main : part_card, false).dataChanged;

    if (alreadyKnown && existed)
        return;
    if (isMain)
        msgchannel->reader_add_main(reader->serial, reader->name, false, synced);
    else if (found > 0)
        msgchannel->reader_add_card(reader->serial);
}

void ReaderData::addVirtualReader(const DetectionRecord &record)
{
    std::lock_guard<std::mutex> lock(readers_mutex);

    if (const std::shared_ptr<Reader> existing = findReaderLocked(record.serial)) {
        qDebug() << "Found existing (virtual) Reader instance.";
        if (existing->readertype != record.kind) {
            qDebug() << "Readertype has changed in device preferences. Changing...";
            existing->readertype = record.kind;
        }
        return;
    }

    qDebug() << "Adding new virtual reader instance" << toQString(record.serial);
    auto reader = std::make_shared<Reader>(record);
    reader->owner = this;
    const fs::path folder = record.kind == readertype_localmirror
                                ? datadirSubfolder(record.serial, localdbmirror)
                                : record.path;
    reader->mainpath = folder;
    reader->name = record.name;

    std::error_code ec;
    if (!folder.empty() && fs::is_directory(folder, ec)) {
        const ExplorerDbInfo explorer = reader->get_db_main(folder);
        reader->db_main = explorer.path;
        reader->dbversion = explorer.version;
        if (!explorer.path.empty())
            reader->db_main_relative = explorer.path.lexically_relative(folder);
        if (record.kind >= readertype_virtual_kept)
            reader->vdbpath = explorer.path;
        reader->processProfiles(folder, -1);
    }

    // A remembered entry of another kind carries no folder: nothing to show for it.
    if (folder.empty())
        return;
    readers.push_back(reader);
    if (reader->readertype != readertype_virtual_temp)
        msgchannel->reader_add_main(reader->serial, reader->name, true, false);
}

void ReaderData::removeReader(const std::string &serial, const std::string &devicePath, bool full)
{
    std::lock_guard<std::mutex> lock(readers_mutex);
    qDebug() << "Attempting to find and remove reader";
    if (serial.empty() && devicePath.empty()) {
        qDebug() << "No ID provided for removal";
        return;
    }
    const std::shared_ptr<Reader> reader = findReaderLocked(serial);
    if (!reader) {
        qDebug() << "Reader already removed (likely card removal issued another removal request).";
        return;
    }

    switch (reader->readertype) {
    case readertype_virtual_run:
    case readertype_virtual_temp:
        qDebug() << "Removing reader (fully, virtual): " << toQString(serial);
        // A shown reader leaves the selector with the registry; a temporary one was never shown.
        if (reader->readertype == readertype_virtual_run)
            msgchannel->reader_remove(reader->serial, reader->name, false);
        readers.remove(reader);
        return;
    case readertype_device:
        qDebug() << "Removing reader (fully): " << toQString(serial);
        msgchannel->reader_remove(reader->serial, reader->name, false);
        readers.remove(reader);
        return;
    default:
        break;
    }

    if (full) {
        qDebug() << "Removing reader (fully, removing localmirror):" << toQString(serial);
        msgchannel->reader_remove(reader->serial, reader->name, false);
        readers.remove(reader);
        return;
    }

    qDebug() << "Removing reader (partially, keeping localmirror):" << toQString(serial);
    reader->connected = false;
    reader->db_main.clear();
    reader->maindevice.clear();
    reader->mainpath.clear();
    reader->carddevice.clear();
    reader->cardpath.clear();
    auto &profiles = reader->profiles;
    profiles.erase(std::remove_if(profiles.begin(), profiles.end(),
                                  [](const ProfileInfo &p) { return !p.fromMirror; }),
                   profiles.end());
    msgchannel->reader_remove(reader->serial, reader->name, true);
}

bool ReaderData::removeAllReaders()
{
    for (auto it = readers.begin(); it != readers.end();) {
        const std::shared_ptr<Reader> reader = *it++;
        removeReader(reader->serial, {}, false);
    }
    return true;
}
