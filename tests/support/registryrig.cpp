#include "support/registryrig.h"

#include "core/globalsclass.h"
#include "readers/gui_msgchannel.h"
#include "readers/readerdata.h"

#include <QCoreApplication>
#include <QStandardPaths>

namespace fs = std::filesystem;

RegistryRig::RegistryRig()
    : base(dir.path().toStdString())
{
    QStandardPaths::setTestModeEnabled(true);
    globals = std::make_shared<globalsClass>(false, base.string(), (base / "data").string(),
                                             base / "share", base / "config");
    channel = std::make_shared<gui_msgchannel>();
    devices = std::make_shared<FakeBlockDevices>();
    mounts = std::make_shared<FakeMounts>();
    registry = std::make_shared<ReaderData>(channel, globals, false,
                                            makeFakePlatform(devices, mounts));
    const auto queued = Qt::QueuedConnection;
    QObject::connect(channel.get(), &gui_msgchannel::device_added_main, &m_receiver,
                     [this](const QString &serial, const QString &name, bool isVirtual, bool synced) {
                         m_events << QStringLiteral("main %1 %2 virtual=%3 synced=%4")
                                         .arg(serial, name).arg(isVirtual).arg(synced);
                     }, queued);
    QObject::connect(channel.get(), &gui_msgchannel::device_added_card, &m_receiver,
                     [this](const QString &serial) { m_events << "card " + serial; }, queued);
    QObject::connect(channel.get(), &gui_msgchannel::device_removed, &m_receiver,
                     [this](const QString &serial, const QString &name, bool mirror) {
                         m_events << QStringLiteral("remove %1 %2 mirror=%3")
                                         .arg(serial, name).arg(mirror);
                     }, queued);
    QObject::connect(channel.get(), &gui_msgchannel::device_NotMounted, &m_receiver,
                     [this](const QString &serial) { m_events << "notmounted " + serial; },
                     queued);
}

RegistryRig::~RegistryRig() = default;

fixture::ReaderTree RegistryRig::mainMemory(const fs::path &relative)
{
    fixture::ReaderTree tree(base / relative);
    tree.addExplorerDb();
    tree.addRootProfile();
    return tree;
}

fs::path RegistryRig::mirror(const std::string &serial) const
{
    return globals->datadir / serial / "localdbmirror";
}

void RegistryRig::writePrefs(const QByteArray &ini)
{
    fixture::ReaderTree(globals->datadir).addFile("devices.conf", ini);
}

fixture::ReaderTree RegistryRig::rememberWithMirror(const std::string &serial,
                                                    const std::string &name)
{
    fixture::ReaderTree tree(mirror(serial));
    tree.addExplorerDb();
    tree.addRootProfile();
    writePrefs(QByteArray::fromStdString("[" + serial + "]\nserial=" + serial +
                                         "\nreaderType=1\nvendor=1\nname=" + name + "\n"));
    return tree;
}

void RegistryRig::plug(const std::string &serial, const std::string &node, const fs::path &root,
                       const std::string &label, const std::string &instance)
{
    if (!devices->devices)
        devices->devices.emplace();
    devices->devices->push_back(pocketBookDevice(serial, node, label, instance));
    mounts->mount(node, root, label);
}

void RegistryRig::unplugAll()
{
    devices->devices = std::vector<BlockDevice>{};
    mounts->volumes.clear();
}

QStringList RegistryRig::take()
{
    QCoreApplication::processEvents();
    QStringList result = m_events;
    m_events.clear();
    return result;
}
