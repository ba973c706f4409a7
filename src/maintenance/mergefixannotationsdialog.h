#pragma once

#include "maintenance/mergefixrun.h"

#include <QDialog>
#include <QScopedPointer>

#include <memory>

class QTreeWidget;
class QTreeWidgetItem;
class Reader;
class globalsClass;

namespace Ui {
class mergeFixAnnotationsDialog;
}

/// Lists the duplicate book sets of every profile database of a connected reader, lets the
/// user tick the older items whose annotations move to the newest one, and runs the merge.
/// Modal, GUI thread; the rules live in maintenance/mergefixrun.h.
class mergeFixAnnotationsDialog final : public QDialog
{
    Q_OBJECT
public:
    mergeFixAnnotationsDialog(std::shared_ptr<Reader> reader,
                              std::shared_ptr<globalsClass> settings, QWidget *parent = nullptr);
    ~mergeFixAnnotationsDialog() override;

    QTreeWidget *tree() const;
    /// What the last accept() did; rowsChanged 0 before.
    const MergeFixRunResult &result() const { return m_result; }

public slots:
    void accept() override;
    void help();

private:
    void fillTree();
    void toggleAll();
    void itemChanged(QTreeWidgetItem *item, int column);

    const QScopedPointer<Ui::mergeFixAnnotationsDialog> m_ui;
    std::shared_ptr<Reader> m_reader;
    std::shared_ptr<globalsClass> m_globals;
    MergeFixInspection m_inspection;
    MergeFixRunResult m_result;
    QString log;
    bool allChecked = false;
};
