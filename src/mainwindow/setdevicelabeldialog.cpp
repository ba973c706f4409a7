#include "mainwindow/setdevicelabeldialog.h"
#include "ui_setdevicelabeldialog.h"

#include "core/settingsstore.h"
#include "readers/reader.h"

#include <QDebug>

setDeviceLabelDialog::setDeviceLabelDialog(std::filesystem::path devicePrefs,
                                           std::shared_ptr<Reader> reader, QWidget *parent)
    : QDialog(parent)
    , m_ui(new Ui::setDeviceLabelDialog)
    , m_devicePrefs(std::move(devicePrefs))
    , m_reader(std::move(reader))
{
    m_ui->setupUi(this);
    m_oldLabel = readDeviceLabel(m_devicePrefs, m_reader->serial);
    m_ui->devicename->setText(m_oldLabel);
}

setDeviceLabelDialog::~setDeviceLabelDialog() = default;

void setDeviceLabelDialog::accept()
{
    m_newLabel = m_ui->devicename->text();
    m_changed = m_oldLabel != m_newLabel;
    if (m_changed) {
        if (m_reader->readertype < readertype_virtual_run)
            writeDeviceLabel(m_devicePrefs, m_reader->serial, m_newLabel);
        qDebug() << "Label changed from/to: " << m_oldLabel << m_newLabel;
    } else {
        qDebug() << "New label is same as old label.";
    }
    QDialog::accept();
}
