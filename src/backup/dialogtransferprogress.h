#pragma once

#include "backup/transferprogress.h"

#include <QDialog>
#include <QScopedPointer>
#include <QString>

#include <memory>
#include <utility>

class QTreeWidgetItem;
class Reader;
class ReaderData;

namespace Ui {
class DialogTransferProgress;
}

/// Shows, for every book of the reader and every profile, its own reading progress beside
/// the backup's, with one proposal checked per book and profile. The user's choices are
/// collected and reported; nothing is written to the reader.
class DialogTransferProgress final : public QDialog
{
    Q_OBJECT
public:
    DialogTransferProgress(std::shared_ptr<ReaderData> registry, std::shared_ptr<Reader> source,
                           std::shared_ptr<Reader> destination, ProfileMap profileMap,
                           const QString &sourceFile, QWidget *parent = nullptr);
    /// Removes the temporary source reader from the registry.
    ~DialogTransferProgress() override;

    const TransferReview &review() const { return m_review; }
    /// Every choice checked in the tree right now: one per book and profile at most.
    std::vector<TransferChoice> choices() const;

public slots:
    void accept() override;
    void reject() override;

private:
    void fillTrees(const QString &sourceFile);
    void childChanged(QTreeWidgetItem *item, int column);
    void toggleRedundant();
    void expandAll();
    void selectNone();

    const QScopedPointer<Ui::DialogTransferProgress> m_ui;
    std::shared_ptr<ReaderData> m_registry;
    std::shared_ptr<Reader> m_source;
    std::shared_ptr<Reader> m_destination;
    ProfileMap m_profileMap;
    TransferReview m_review;
    bool m_expanded = false;
    bool m_askBeforeClosing = false;
};

/// Chooses a backup archive or database file (starting in `startFolder`) and loads it as a
/// temporary reader: the chosen path and the reader, none when nothing was loaded.
std::pair<QString, std::shared_ptr<Reader>>
loadTransferSource(const std::shared_ptr<ReaderData> &registry, const QString &startFolder,
                   QWidget *parent);

/// The whole transfer review for `destination`: source file, profile matching (skipped when
/// each side has one profile), the review. The temporary reader goes on every path.
void runProgressTransfer(const std::shared_ptr<ReaderData> &registry,
                         const std::shared_ptr<Reader> &destination, const QString &startFolder,
                         QWidget *parent);
