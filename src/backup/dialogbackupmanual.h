#pragma once

#include "backup/backuprun.h"

#include <QDialog>
#include <QScopedPointer>

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class QCheckBox;
class QProgressDialog;
class Reader;
class ReaderData;
class globalsClass;

namespace Ui {
class DialogBackupManual;
}

/// The manual backup dialog of one connected reader: the parts to back up with their sizes,
/// the destination folder and a label. OK writes the archive. The size surveys and the run
/// work on a worker thread (backuprun.h) behind a progress dialog whose cancel works
/// throughout; the dialog only copies between its widgets and those functions.
class DialogBackupManual final : public QDialog
{
    Q_OBJECT
public:
    DialogBackupManual(std::shared_ptr<ReaderData> registry, std::shared_ptr<globalsClass> globals,
                       std::shared_ptr<Reader> reader, QWidget *parent = nullptr);
    ~DialogBackupManual() override;

    /// Bytes of the checked parts, as the total label shows them.
    uint64_t bytesNeeded() const { return m_bytesNeeded; }
    /// What the last run did, and the archive it aimed at.
    const BackupResult &lastResult() const { return m_lastResult; }
    const std::filesystem::path &lastArchive() const { return m_lastArchive; }
    /// Called on the worker thread with each progress report of a run, before the dialog
    /// hears of it: lets tests cancel or disturb a run at a known point.
    void setRunObserver(std::function<void(double)> observer) { m_observer = std::move(observer); }
    /// Asks the survey or run under way to stop; any thread.
    void requestCancel() { m_cancel = true; }

public slots:
    void accept() override;
    void help();

signals:
    /// Emitted on the worker thread for every progress report of libzip, 0.0 to 1.0.
    void progressEmitted(double progress);

private:
    QCheckBox *box(BackupCategory category) const;
    bool included(BackupCategory category) const;
    void categoryToggled(BackupCategory category, int state);
    bool survey(BackupCategory category);
    void refreshTotal();
    void browse();
    void resetDestination();
    void runOffThread(QProgressDialog &progress, std::function<void()> work);
    void saveChoices();
    void report(const BackupResult &result, const QString &folder);

    const QScopedPointer<Ui::DialogBackupManual> m_ui;
    std::shared_ptr<ReaderData> m_registry;
    std::shared_ptr<globalsClass> m_globals;
    std::shared_ptr<Reader> m_reader;
    QString m_defaultDestination;
    std::array<std::vector<BackupSource>, backupCategoryCount> m_sources;
    std::array<std::optional<BackupSize>, backupCategoryCount> m_sizes;
    uint64_t m_bytesNeeded = 0;
    uint32_t m_errors = 0;
    std::atomic<bool> m_cancel{false};
    std::function<void(double)> m_observer;
    BackupResult m_lastResult;
    std::filesystem::path m_lastArchive;
};
