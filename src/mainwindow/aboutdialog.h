#pragma once

#include <QDialog>
#include <QScopedPointer>

namespace Ui {
class aboutDialog;
}

/// The about box: logo, name and the version and build facts.
class aboutDialog final : public QDialog
{
    Q_OBJECT
public:
    explicit aboutDialog(QWidget *parent = nullptr);
    ~aboutDialog() override;

private:
    const QScopedPointer<Ui::aboutDialog> m_ui;
};
