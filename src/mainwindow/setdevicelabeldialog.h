#pragma once

#include <QDialog>
#include <QScopedPointer>
#include <QString>

#include <filesystem>
#include <memory>

class Reader;

namespace Ui {
class setDeviceLabelDialog;
}

/// Lets the user give a reader a label, stored per serial in the device preferences.
/// Readers loaded for this run only are relabelled on screen, never in the file.
class setDeviceLabelDialog final : public QDialog
{
    Q_OBJECT
public:
    setDeviceLabelDialog(std::filesystem::path devicePrefs, std::shared_ptr<Reader> reader,
                         QWidget *parent = nullptr);
    ~setDeviceLabelDialog() override;

    QString oldLabel() const { return m_oldLabel; }
    QString newLabel() const { return m_newLabel; }
    bool changed() const { return m_changed; }

public slots:
    void accept() override;

private:
    const QScopedPointer<Ui::setDeviceLabelDialog> m_ui;
    std::filesystem::path m_devicePrefs;
    std::shared_ptr<Reader> m_reader;
    QString m_oldLabel;
    QString m_newLabel;
    bool m_changed = false;
};
