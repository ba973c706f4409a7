#pragma once

#include "backup/transferprogress.h"

#include <QDialog>
#include <QScopedPointer>

namespace Ui {
class DialogTransferProfiles;
}

/// Asks which reader profile each backup profile stands for ("Ignore this profile" leaves
/// it out). The preselection pairs equal names, then equal ids, never list positions.
class DialogTransferProfiles final : public QDialog
{
    Q_OBJECT
public:
    DialogTransferProfiles(const ProfileList &source, const ProfileList &destination,
                           QWidget *parent = nullptr);
    ~DialogTransferProfiles() override;

    /// The assignment read from the tree: one (source id, destination id) pair per profile.
    ProfileMap profileMap() const;

public slots:
    void accept() override;

private:
    const QScopedPointer<Ui::DialogTransferProfiles> m_ui;
};
