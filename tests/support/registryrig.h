#pragma once

#include "support/fakeplatform.h"
#include "readerfixture/readerfixture.h"

#include <QObject>
#include <QStringList>
#include <QTemporaryDir>

#include <filesystem>
#include <memory>

class globalsClass;
class gui_msgchannel;
class ReaderData;

/// A real registry in a temporary folder (data directory in base/data), over fake udev
/// devices and mounts, with every channel event recorded as one line of text:
/// "main SERIAL NAME virtual=0 synced=0", "card SERIAL", "remove SERIAL NAME mirror=0",
/// "notmounted SERIAL". The events arrive queued, as in the window.
struct RegistryRig
{
    RegistryRig();
    ~RegistryRig();

    /// A path below the rig's folder.
    std::filesystem::path at(const std::filesystem::path &relative) const { return base / relative; }
    /// A main memory at `relative`: explorer database and root profile.
    fixture::ReaderTree mainMemory(const std::filesystem::path &relative);
    /// The local mirror folder of a serial.
    std::filesystem::path mirror(const std::string &serial) const;
    /// Writes the device preferences.
    void writePrefs(const QByteArray &ini);
    /// Remembers a reader of `serial` in the preferences with a mirror of its main memory.
    fixture::ReaderTree rememberWithMirror(const std::string &serial, const std::string &name);
    /// Plugs a PocketBook volume in (udev device and mount).
    void plug(const std::string &serial, const std::string &node,
              const std::filesystem::path &root, const std::string &label = "PB632",
              const std::string &instance = "0:0");
    /// Unplugs every volume (udev device and mount).
    void unplugAll();
    /// Delivers the queued events and hands them over.
    QStringList take();

    QTemporaryDir dir;
    std::filesystem::path base;
    std::shared_ptr<globalsClass> globals;
    std::shared_ptr<gui_msgchannel> channel;
    std::shared_ptr<FakeBlockDevices> devices;
    std::shared_ptr<FakeMounts> mounts;
    std::shared_ptr<ReaderData> registry;

private:
    QObject m_receiver;
    QStringList m_events;
};
