#pragma once

#include "uploader/uploaditem.h"

#include <QDialog>
#include <QScopedPointer>
#include <QStringList>

#include <atomic>
#include <memory>
#include <vector>

class QProgressDialog;
class QSortFilterProxyModel;
class Reader;
class globalsClass;
class uploaderModel;
struct UploadRunResult;

namespace Ui {
class uploaderDialog;
}

/// "Send files to device": one row per chosen file, and the copy run behind a progress
/// dialog. The run itself (uploader/uploadrun.h) goes on a worker thread over a copy of
/// the items; the dialog only shows them and asks the user. Modal, GUI thread.
class uploaderDialog final : public QDialog
{
    Q_OBJECT
public:
    uploaderDialog(const QStringList &files, std::shared_ptr<Reader> reader,
                   std::shared_ptr<globalsClass> globals, QWidget *parent = nullptr);
    ~uploaderDialog() override;

    /// Asks for the files to send; empty when the user cancelled.
    static QStringList chooseFiles(QWidget *parent, const globalsClass &globals);

    const std::vector<UploadItem> &items() const { return m_items; }
    uploaderModel *model() const { return m_model; }

public slots:
    void accept() override;
    void help();
    void setDefaultColumnSettings();

private:
    void setColumnChecked(int column, bool checked);
    void showHeaderMenu(const QPoint &pos);
    void showReport(const UploadRunResult &run);

    const QScopedPointer<Ui::uploaderDialog> m_ui;
    std::shared_ptr<Reader> m_reader;
    std::shared_ptr<globalsClass> m_globals;
    std::vector<UploadItem> m_items;
    uploaderModel *m_model = nullptr;
    QSortFilterProxyModel *m_proxy = nullptr;
    QProgressDialog *m_progress = nullptr;
    std::atomic<bool> m_stop{false};
};
