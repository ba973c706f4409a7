#include "uploader/uploadermodel.h"

#include "core/textconv.h"

#include <QColor>
#include <QDebug>

#include <array>

namespace fs = std::filesystem;

namespace {

const std::array<const char *, uploaderModel::colCount> columnTitles = {
    "Copy file?", "Type", "Card?", "Info", "Destination", "Delete?"};

} // namespace

uploaderModel::uploaderModel(std::vector<UploadItem> &items, fs::path mainPath, fs::path cardPath,
                             QObject *parent)
    : QAbstractTableModel(parent)
    , m_items(items)
    , m_mainPath(std::move(mainPath))
    , m_cardPath(std::move(cardPath))
{
}

int uploaderModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_items.size());
}

int uploaderModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : colCount;
}

QVariant uploaderModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= colCount)
        return {};
    return QString::fromLatin1(columnTitles[static_cast<size_t>(section)]);
}

QVariant uploaderModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const UploadItem &item = m_items[static_cast<size_t>(index.row())];
    const int column = index.column();
    switch (role) {
    case Qt::DisplayRole:
        switch (column) {
        case colCopy:
            return QString::fromStdString(item.fileName);
        case colType:
            return QString::fromStdString(item.kindName());
        case colCard:
            return QString();
        case colInfo:
            return QString::fromStdString(item.info);
        case colDestination:
            return toQString(item.destinationFolder);
        case colDelete:
            return item.isZipEntry() ? QStringLiteral("ZIP") : QString();
        default:
            return QStringLiteral("?");
        }
    case Qt::TextAlignmentRole:
        if (column == colType)
            return int(Qt::AlignHCenter | Qt::AlignVCenter);
        return {};
    case Qt::CheckStateRole:
        if (column == colCopy)
            return item.copy ? Qt::Checked : Qt::Unchecked;
        if (column == colCard)
            return item.toCard ? Qt::Checked : Qt::Unchecked;
        if (column == colDelete)
            return item.deleteSource ? Qt::Checked : Qt::Unchecked;
        return {};
    case Qt::BackgroundRole:
        if (column == colDelete) {
            if (item.deleteSource && flags(index).testFlag(Qt::ItemIsEnabled))
                return QColor(Qt::red);
        } else if (item.copy && item.destinationExists) {
            return QColor(Qt::yellow);
        }
        return QColor(Qt::transparent);
    default:
        return {};
    }
}

Qt::ItemFlags uploaderModel::flags(const QModelIndex &index) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return Qt::NoItemFlags;
    const UploadItem &item = m_items[static_cast<size_t>(index.row())];
    if (!item.allowedMain)
        return Qt::NoItemFlags;
    switch (index.column()) {
    case colCopy:
        return Qt::ItemIsEnabled | Qt::ItemIsUserCheckable;
    case colType:
        return Qt::ItemIsEnabled;
    case colCard:
        if (!m_cardPath.empty() && item.allowedCard)
            return Qt::ItemIsEnabled | Qt::ItemIsUserCheckable;
        return Qt::ItemIsUserCheckable;
    case colInfo:
    case colDestination:
        return item.copy ? Qt::ItemIsEnabled : Qt::NoItemFlags;
    case colDelete:
        return item.copy ? Qt::ItemIsEnabled | Qt::ItemIsUserCheckable : Qt::ItemIsUserCheckable;
    default:
        return Qt::NoItemFlags;
    }
}

bool uploaderModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (role != Qt::CheckStateRole ||
        !checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return false;
    const int row = index.row();
    UploadItem &item = m_items[static_cast<size_t>(row)];
    // A check state arrives as Qt::Checked (2) or Qt::Unchecked (0).
    const bool flag = value.toInt() != Qt::Unchecked;
    switch (index.column()) {
    case colCard:
        item.toCard = flag;
        qDebug() << "Changing obj root...";
        item.setRoot(item.toCard ? m_cardPath : m_mainPath);
        rowChanged(row, colCopy);
        break;
    case colDelete:
        if (!item.isZipEntry()) {
            item.deleteSource = flag;
            emit dataChanged(index, index);
            break;
        }
        // Deleting the source of an entry means deleting its archive: one flag for all.
        for (size_t i = 0; i < m_items.size(); ++i) {
            if (m_items[i].isZipEntry() && m_items[i].archive == item.archive) {
                m_items[i].deleteSource = flag;
                const QModelIndex cell = this->index(static_cast<int>(i), colDelete);
                emit dataChanged(cell, cell);
            }
        }
        break;
    default:
        item.copy = flag;
        rowChanged(row, index.column());
        break;
    }
    return true;
}

void uploaderModel::itemsChanged()
{
    if (!m_items.empty())
        emit dataChanged(index(0, 0), index(rowCount() - 1, colCount - 1));
}

void uploaderModel::rowChanged(int row, int firstColumn)
{
    emit dataChanged(index(row, firstColumn), index(row, colCount - 1));
}
