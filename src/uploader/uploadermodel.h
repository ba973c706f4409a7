#pragma once

#include "uploader/uploaditem.h"

#include <QAbstractTableModel>

#include <filesystem>
#include <vector>

/// The table of files to send: one row per UploadItem, with the check boxes "Copy file?",
/// "Card?" and "Delete?". Works in place on the dialog's vector, which must outlive it and
/// keep its size. GUI thread.
class uploaderModel final : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column { colCopy = 0, colType, colCard, colInfo, colDestination, colDelete, colCount };

    uploaderModel(std::vector<UploadItem> &items, std::filesystem::path mainPath,
                  std::filesystem::path cardPath, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;

    /// Tells the views that the copy run changed the items.
    void itemsChanged();

private:
    void rowChanged(int row, int firstColumn);

    std::vector<UploadItem> &m_items;
    std::filesystem::path m_mainPath;
    std::filesystem::path m_cardPath;
};
