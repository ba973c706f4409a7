#pragma once

#include "mainwindow/settingslogic.h"

#include <QDialog>
#include <QScopedPointer>

#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

class globalsClass;

namespace Ui {
class settingsDialog;
}

/// The dialog behind "Settings...": shows the general settings file on four tabs and
/// writes it back on OK. A new data directory is only staged until OK; the old folder is
/// never moved or deleted. Modal, GUI thread.
class settingsDialog final : public QDialog
{
    Q_OBJECT
public:
    /// `readerVolumes`: mount points of the readers plugged in, refused as data directory.
    settingsDialog(std::shared_ptr<globalsClass> globals, QWidget *parent = nullptr,
                   std::vector<std::filesystem::path> readerVolumes = {});
    ~settingsDialog() override;

public slots:
    void loadSettings();
    bool saveSettings();
    void accept() override;

private:
    bool datadirFixed() const;
    void chooseDatadir();
    void resetDatadir();
    void stageDatadir(const std::filesystem::path &path);

    const QScopedPointer<Ui::settingsDialog> m_ui;
    std::shared_ptr<globalsClass> m_globals;
    std::vector<std::filesystem::path> m_readerVolumes;
    SettingsForm m_loaded;
    bool m_loadingFailed = false;
    std::optional<std::filesystem::path> m_stagedDatadir;
};
