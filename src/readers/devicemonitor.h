#pragma once

#include <QObject>
#include <QTimer>

#include <memory>

class BlockDeviceMonitor;
class QSocketNotifier;

/// Turns block-device events into one "devices changed" call per burst: a reader's main
/// memory and card arrive as several events within a second or two, and the desktop mounts
/// their volumes a little later, so the scan waits until the events have been quiet for
/// `debounceMs`. Runs on the thread that owns it (the GUI thread).
class DeviceMonitor final : public QObject
{
    Q_OBJECT
public:
    /// Two and a half seconds: long enough for main memory, card and the first mount.
    static constexpr int defaultDebounceMs = 2500;

    DeviceMonitor(std::shared_ptr<BlockDeviceMonitor> source, int debounceMs,
                  QObject *parent = nullptr);
    ~DeviceMonitor() override;

    /// Starts listening; false when the platform cannot tell about devices.
    bool start();
    bool isActive() const { return m_notifier != nullptr; }

signals:
    void devicesChanged();

private:
    void readEvents();

    std::shared_ptr<BlockDeviceMonitor> m_source;
    QSocketNotifier *m_notifier = nullptr;
    QTimer m_debounce;
};
