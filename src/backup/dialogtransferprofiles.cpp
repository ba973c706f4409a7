#include "backup/dialogtransferprofiles.h"
#include "ui_dialogtransferprofiles.h"

#include "core/prompts.h"

#include <QComboBox>
#include <QDebug>

DialogTransferProfiles::DialogTransferProfiles(const ProfileList &source,
                                               const ProfileList &destination, QWidget *parent)
    : QDialog(parent)
    , m_ui(new Ui::DialogTransferProfiles)
{
    m_ui->setupUi(this);
    m_ui->treeWidget->setColumnWidth(1, 150);
    const std::vector<int32_t> preselected = preselectProfiles(source, destination);
    for (size_t i = 0; i < source.size(); ++i) {
        auto *item = new QTreeWidgetItem(m_ui->treeWidget);
        item->setText(0, QString::number(source[i].first));
        item->setText(1, QString::fromStdString(source[i].second));
        auto *combo = new QComboBox(m_ui->treeWidget);
        combo->addItem(QStringLiteral("Ignore this profile"), -1);
        for (const auto &[id, name] : destination)
            combo->addItem(QStringLiteral("%1 %2").arg(id).arg(QString::fromStdString(name)), id);
        combo->setCurrentIndex(std::max(0, combo->findData(preselected[i])));
        m_ui->treeWidget->setItemWidget(item, 2, combo);
    }
    connect(m_ui->buttonBox, &QDialogButtonBox::accepted, this, &DialogTransferProfiles::accept);
    connect(m_ui->buttonBox, &QDialogButtonBox::rejected, this, &DialogTransferProfiles::reject);
}

DialogTransferProfiles::~DialogTransferProfiles() = default;

ProfileMap DialogTransferProfiles::profileMap() const
{
    ProfileMap map;
    for (int i = 0; i < m_ui->treeWidget->topLevelItemCount(); ++i) {
        QTreeWidgetItem *item = m_ui->treeWidget->topLevelItem(i);
        const auto *combo = qobject_cast<QComboBox *>(m_ui->treeWidget->itemWidget(item, 2));
        map.emplace_back(item->text(0).toInt(), combo ? combo->currentData().toInt() : -1);
    }
    return map;
}

void DialogTransferProfiles::accept()
{
    const ProfileMap map = profileMap();
    QStringList pairs;
    for (const auto &[from, to] : map)
        pairs << QStringLiteral("%1->%2").arg(from).arg(to);
    qDebug() << "Matched profiles ids:" << pairs;
    if (profileMapUsable(map)) {
        QDialog::accept();
        return;
    }
    qWarning() << "All profiles set to be ignored...";
    prompts().warning(this, QStringLiteral("All profiles set to be ignored..."),
                      QStringLiteral("All profiles set to be ignored...\nPlease correct or cancel"));
}
