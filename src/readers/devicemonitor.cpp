#include "readers/devicemonitor.h"

#include "readers/platform.h"

#include <QDebug>
#include <QSocketNotifier>

DeviceMonitor::DeviceMonitor(std::shared_ptr<BlockDeviceMonitor> source, int debounceMs,
                             QObject *parent)
    : QObject(parent)
    , m_source(std::move(source))
{
    m_debounce.setSingleShot(true);
    m_debounce.setInterval(debounceMs);
    connect(&m_debounce, &QTimer::timeout, this, &DeviceMonitor::devicesChanged);
}

DeviceMonitor::~DeviceMonitor() = default;

bool DeviceMonitor::start()
{
    if (m_notifier != nullptr)
        return true;
    const int fd = m_source ? m_source->start() : -1;
    if (fd < 0)
        return false;
    m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &DeviceMonitor::readEvents);
    qDebug() << "Device monitor started";
    return true;
}

void DeviceMonitor::readEvents()
{
    if (m_source->readEvents()) {
        qDebug() << "Device monitor: block device added or removed, scanning soon";
        m_debounce.start();
    }
}
