#pragma once

#include <QDialog>
#include <QScopedPointer>
#include <QString>

#include <memory>

class ReaderData;
class globalsClass;

namespace Ui {
class importbackupDialog;
}

/// Picks a backup archive or an explorer database file and loads it as a virtual reader.
/// A failed load says why and leaves the dialog open; the path is remembered only after a
/// load that worked.
class importbackupDialog final : public QDialog
{
    Q_OBJECT
public:
    importbackupDialog(std::shared_ptr<ReaderData> registry, std::shared_ptr<globalsClass> globals,
                       QWidget *parent = nullptr);
    ~importbackupDialog() override;

    /// The serial of the reader the last accepted load added.
    QString loadedSerial() const { return m_loadedSerial; }

public slots:
    void accept() override;

private:
    void browse();
    void setChosenPath(const QString &path);

    const QScopedPointer<Ui::importbackupDialog> m_ui;
    std::shared_ptr<ReaderData> m_registry;
    std::shared_ptr<globalsClass> m_globals;
    QString m_path;
    QString m_loadedSerial;
};
