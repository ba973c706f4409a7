// The device selector: entries follow the registry's reader events; the selected reader
// decides which actions are enabled and what the viewer shows.

#include "mainwindow/mainwindow.h"
#include "ui_mainwindow.h"

#include "core/datadir.h"
#include "core/globalsclass.h"
#include "core/settingsstore.h"
#include "core/textconv.h"
#include "core/prompts.h"
#include "readers/devicemonitor.h"
#include "readers/readerdata.h"

#include <QDebug>
#include <QGuiApplication>
#include <QMenu>

namespace {

// The selector's user-data role that records a local-mirror switch made by the user.
constexpr int mirrorToggledRole = Qt::UserRole + 1;

class WaitCursor
{
public:
    WaitCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QGuiApplication::restoreOverrideCursor(); }
};

} // namespace

int MainWindow::entryIndex(const QString &serial) const
{
    return m_ui->device_cbox->findData(serial, Qt::UserRole, Qt::MatchExactly | Qt::MatchCaseSensitive);
}

void MainWindow::updateDeviceCount()
{
    m_ui->deviceCount->setText(QString::number(m_registry->readers.size()));
}

QString MainWindow::device_cbox_name(QString serial, QString name, QString newlabel,
                                     bool isconnected)
{
    return deviceEntryText(m_globals->settingsDevices, serial, name, newlabel, isconnected);
}

void MainWindow::gui_device_add_main(QString serial, QString name, bool autosyncitem,
                                     bool wassynced)
{
    qDebug() << (autosyncitem ? "Adding virtual device to gui:"
                              : "Adding found (main) device to gui:")
             << name;
    const QIcon readerIcon(QStringLiteral(":icons/ICONS/ereader.svg"));
    const int existing = entryIndex(serial);
    const QString text = device_cbox_name(serial, name, QString(), !autosyncitem);
    if (existing >= 0) {
        qDebug() << "Found existing devicelist entry";
        m_ui->device_cbox->setItemIcon(existing, readerIcon);
        m_ui->device_cbox->setItemText(existing, text);
        if (serial == m_currentSerial) {
            if (wassynced) {
                qDebug() << "Was synced: request annotation reload";
                annViewerDataReload();
            }
            if (const auto reader = currentReader()) {
                enable_actionbuttons(true, readertype_localmirror, readerVendor(reader->vendor));
            } else {
                qWarning() << "Could not find reader entry";
                enable_actionbuttons(false, readerObjectType(-1), readerVendor(0));
            }
        }
    } else {
        qDebug() << "Creating new GUI devicelist entry";
        const int index = m_ui->device_cbox->count();
        m_ui->device_cbox->insertItem(index, autosyncitem ? QIcon() : readerIcon, text, serial);
        if (!m_lastReader.isEmpty() && m_lastReader == serial) {
            qDebug() << "-- Restoring previous reader selection";
            m_lastReader.clear();
            if (m_ui->device_cbox->currentIndex() == index) {
                qDebug() << "Already at correct index of GUI device selector";
            } else {
                qDebug() << "Switching GUI device selector index";
                m_ui->device_cbox->setCurrentIndex(index);
            }
            const auto settings = openIniSettings(m_globals->settingsGeneral);
            m_ui->search_author->setText(readString(*settings, settingskeys::searchauthor));
            m_ui->search_title->setText(readString(*settings, settingskeys::searchtitle));
            m_ui->search_text->setText(readString(*settings, settingskeys::searchtext));
        }
    }
    m_ui->statusbar->showMessage(QStringLiteral("Added reader: %1").arg(name), 5000);
    updateDeviceCount();
}

void MainWindow::gui_device_add_card(QString serial)
{
    const int index = entryIndex(serial);
    if (index < 0)
        qDebug() << "Profile update not required (card parent is not selected):" << serial;
    else if (serial == m_currentSerial)
        qDebug() << "Updating profiles as card parent is selected in gui:" << serial;
}

void MainWindow::gui_device_remove(QString serial, QString name, bool haslocalmirror)
{
    const int index = entryIndex(serial);
    if (index < 0) {
        qDebug() << "Already removed from device CB";
        return;
    }
    if (!haslocalmirror) {
        m_ui->device_cbox->removeItem(index);
    } else {
        m_ui->device_cbox->setItemText(index, device_cbox_name(serial, name, QString(), false));
        m_ui->device_cbox->setItemIcon(index, QIcon());
        if (serial == m_currentSerial) {
            if (const auto reader = currentReader()) {
                enable_actionbuttons(false, readertype_localmirror, readerVendor(reader->vendor));
            } else {
                qWarning() << "Could not find reader entry";
                enable_actionbuttons(false, readerObjectType(-1), readerVendor(0));
            }
        }
    }
    updateDeviceCount();
}

void MainWindow::device_cbox_IndexChanged(int index)
{
    // Removing an entry above the selected one moves the index, not the selection: the
    // viewer keeps its rows, selection and scroll position.
    const QString serial = m_ui->device_cbox->itemData(index, Qt::UserRole).toString();
    if (!serial.isEmpty() && serial == m_currentSerial && currentReader() &&
        currentReader() == m_registry->findReader(serial.toStdString()))
        return;
    qDebug() << "Devicelist changing to index: " << index;
    closeMenus();
    m_ui->tableView->scrollToTop();
    const WaitCursor wait;

    m_currentSerial = serial;
    const std::shared_ptr<Reader> reader =
        m_currentSerial.isEmpty() ? nullptr : m_registry->findReader(m_currentSerial.toStdString());
    if (!reader) {
        m_currentReader.reset();
        enable_actionbuttons(false, readerObjectType(-1), readerVendor(0));
        annViewerModelDelete();
        return;
    }
    m_currentReader = reader;
    {
        const QSignalBlocker block(m_actLocalMirror);
        m_actLocalMirror->setChecked(reader->readertype == readertype_localmirror);
    }
    enable_actionbuttons(reader->isConnected(), readerObjectType(reader->readertype),
                         readerVendor(reader->vendor));
    if (!m_loadManually) {
        enable_annotationviewer_buttons(populate_annotations_viewer());
    } else {
        annViewerModelDelete();
        enable_annotationviewer_buttons(false);
    }
}

void MainWindow::scan_for_devices()
{
    const WaitCursor wait;
    qDebug() << "-----------------";
    closeMenus();
    m_ui->device_cbox->setEnabled(false);
    QString remembered;
    {
        const QSignalBlocker block(m_ui->device_cbox);
        remembered = m_ui->device_cbox->currentData(Qt::UserRole).toString();
    }
    m_registry->device_scan(false);
    // The scan's events are queued: let them reach the selector before restoring it.
    QCoreApplication::sendPostedEvents(this);
    if (m_ui->device_cbox->count() > 0 && !remembered.isEmpty()) {
        const int index = entryIndex(remembered);
        if (index >= 0) {
            m_ui->device_cbox->setCurrentIndex(index);
            qDebug() << "Restored device selector to: " << remembered;
        }
    }
    m_ui->device_cbox->setEnabled(true);
}

bool MainWindow::startDeviceMonitor(std::shared_ptr<BlockDeviceMonitor> source, int debounceMs)
{
    {
        const auto settings = openIniSettings(m_globals->settingsGeneral);
        if (readBool(*settings, settingskeys::disableDevicemonitor, false)) {
            qDebug() << "Device monitor disabled in the settings; use rescan/F5";
            return false;
        }
    }
    delete m_deviceMonitor;
    m_deviceMonitor = new DeviceMonitor(
        std::move(source), debounceMs < 0 ? DeviceMonitor::defaultDebounceMs : debounceMs, this);
    // The same scan as F5, so registry and selector end up as a rescan leaves them.
    connect(m_deviceMonitor, &DeviceMonitor::devicesChanged, this, &MainWindow::scan_for_devices);
    if (m_deviceMonitor->start())
        return true;
    delete m_deviceMonitor;
    m_deviceMonitor = nullptr;
    return false;
}

void MainWindow::gui_user_ejectdevice()
{
    qDebug() << "Requesting removal of reader" << m_currentSerial;
    m_registry->removeReader(m_currentSerial.toStdString(), {}, false);
}

void MainWindow::gui_user_EjectAllDevices()
{
    m_registry->removeAllReaders();
}

void MainWindow::enable_actionbuttons(bool isconnected, readerObjectType readertype,
                                      readerVendor readervendor)
{
    const bool selected = !m_currentSerial.isEmpty();
    const bool pocketbook = (int(readervendor) & 1) != 0;
    m_ui->pb_eject->setEnabled(isconnected);
    m_ui->pb_load_anndata->setEnabled(selected);
    m_actUploader->setEnabled(isconnected && readertype != -1 && pocketbook);
    m_actBackup->setEnabled(isconnected && readertype != -1 && pocketbook);
    m_actMergeFix->setEnabled(isconnected && readertype != -1 && pocketbook);
    m_actCheckDb->setEnabled(readertype != -1 && selected);
    m_actTransfer->setEnabled(isconnected && readertype == readertype_device && pocketbook);
    // A virtual reader's serial lasts one run: no mirror and no label may be kept for it.
    const bool virtualReader = readertype >= readertype_virtual_kept;
    m_actLocalMirror->setEnabled(pocketbook && !virtualReader);
    m_actDeviceLabel->setEnabled(readertype != -1 && selected && !virtualReader);
    enable_annotationviewer_buttons(readertype >= 0 && selected && m_model != nullptr);
}

void MainWindow::toggle_localmirror(bool active)
{
    const std::shared_ptr<Reader> reader = currentReader();
    if (!reader) {
        qDebug() << "Could not find device";
        return;
    }
    if (!active) {
        QString text = QStringLiteral("Disable local DB mirror?");
        if (!reader->isConnected())
            text += QStringLiteral("\nGiven the reader is disconnected,\nthe device entry will be removed.");
        if (prompts().question(this, QStringLiteral("Disable local DB mirror?"), text) !=
            Prompts::Yes) {
            const QSignalBlocker block(m_actLocalMirror);
            m_actLocalMirror->setChecked(true);
            return;
        }
    }
    const QString serial = QString::fromStdString(reader->serial);
    {
        const auto settings = openIniSettings(m_globals->settingsDevices);
        settings->beginGroup(serial);
        // "readerType" holds a reader kind: 1 is a mirror, 2 a kept virtual reader.
        if (active && readInt(*settings, settingskeys::devReaderType, readertype_device) !=
                          readertype_device) {
            qDebug() << "Local mirror already enabled.";
            return;
        }
        reader->readertype = active ? readertype_localmirror : readertype_device;
        settings->setValue(settingskeys::devReaderType, active ? 1 : 0);
        if (!settings->contains(settingskeys::devSerial))
            settings->setValue(settingskeys::devSerial, serial);
        if (active) {
            settings->setValue(settingskeys::devSerial, serial);
            settings->setValue(settingskeys::devVendor, reader->vendor);
            settings->setValue(settingskeys::devName, QString::fromStdString(reader->name));
        }
    }
    const int index = m_ui->device_cbox->currentIndex();
    if (index >= 0)
        m_ui->device_cbox->setItemData(index, active, mirrorToggledRole);
    qDebug() << (active ? "Enabled local DB mirror" : "Disabled local DB mirror");

    if (!active && !reader->isConnected()) {
        qDebug() << "Trying to remove (unconnected) localreader";
        m_registry->removeReader(reader->serial, {}, false);
    }
    if (active && make_localmirror(false))
        qDebug() << "Performed first note backup.";
}

bool MainWindow::make_localmirror(bool force)
{
    const std::shared_ptr<Reader> reader = currentReader();
    if (!reader) {
        m_ui->statusbar->showMessage(QStringLiteral(
            "Cannot yet create a local DB mirror, as the reader is not connected/removed."));
        return false;
    }
    const LocalMirrorResult result = m_registry->localDBmirror(*reader, 1, force);
    const std::filesystem::path mirror = m_registry->datadirSubfolder(reader->serial, localdbmirror);
    if (!mirror.empty())
        reader->processProfiles(mirror, -1);
    m_ui->statusbar->showMessage(result.mainCopied && result.dataChanged
                                     ? QStringLiteral("Successfully created local DB mirror.")
                                     : QStringLiteral("Mirror already exists, or failed to "
                                                      "(partially) create local DB mirror."));
    if (result.dataChanged) {
        qDebug() << "Reloading annotations after update.";
        annViewerDataReload();
        return true;
    }
    return false;
}
