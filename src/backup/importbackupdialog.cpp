#include "backup/importbackupdialog.h"
#include "ui_importbackupdialog.h"

#include "core/globalsclass.h"
#include "core/prompts.h"
#include "core/settingsstore.h"
#include "core/textconv.h"
#include "readers/readerdata.h"

#include <QDir>
#include <QFileInfo>

namespace {

const QString loadTitle = QStringLiteral("Load archived annotations");

} // namespace

importbackupDialog::importbackupDialog(std::shared_ptr<ReaderData> registry,
                                       std::shared_ptr<globalsClass> globals, QWidget *parent)
    : QDialog(parent)
    , m_ui(new Ui::importbackupDialog)
    , m_registry(std::move(registry))
    , m_globals(std::move(globals))
{
    m_ui->setupUi(this);
    // Every load is for this run and the vendor is read from the file: choices that would
    // change nothing are not offered.
    m_ui->permanent->hide();
    m_ui->vendorCB->hide();
    m_ui->vendorCB_label->hide();
    m_ui->filepath->setReadOnly(true);
    const auto settings = openIniSettings(m_globals->settingsGeneral);
    const QString remembered = readString(*settings, settingskeys::pathsLastimport);
    if (!remembered.isEmpty() && QFileInfo::exists(remembered))
        setChosenPath(remembered);
    connect(m_ui->filepath_browse, &QPushButton::clicked, this, &importbackupDialog::browse);
    connect(m_ui->buttonBox, &QDialogButtonBox::accepted, this, &importbackupDialog::accept);
    connect(m_ui->buttonBox, &QDialogButtonBox::rejected, this, &importbackupDialog::reject);
}

importbackupDialog::~importbackupDialog() = default;

void importbackupDialog::setChosenPath(const QString &path)
{
    m_path = path;
    m_ui->filepath->setText(path);
    m_ui->filepath->setToolTip(path);
}

void importbackupDialog::browse()
{
    const auto settings = openIniSettings(m_globals->settingsGeneral);
    const QString last = readString(*settings, settingskeys::pathsLastimport);
    QString start = last.isEmpty() ? QString() : QFileInfo(last).absolutePath();
    if (start.isEmpty() || !QFileInfo(start).isDir())
        start = QDir::homePath();
    const QStringList chosen = prompts().openFileNames(
        this, QStringLiteral("Select .zip backup archive or explorer DB file"), start,
        QStringLiteral("Supported file (*.zip *.db)"));
    setChosenPath(chosen.isEmpty() ? QString() : chosen.first());
}

void importbackupDialog::accept()
{
    if (m_path.isEmpty())
        return;
    const std::string serial = m_registry->newVirtualSerial();
    std::string why;
    // Without a name the selector shows the file's.
    QString name = m_ui->name->text().trimmed();
    if (name.isEmpty())
        name = QFileInfo(m_path).fileName();
    if (!m_registry->ScanDBfile(toPath(m_path), serial, name.toStdString(), true, false, 0,
                                &why)) {
        prompts().warning(this, loadTitle,
                          QStringLiteral("The file could not be loaded:\n") +
                              QString::fromStdString(why));
        return;
    }
    m_loadedSerial = QString::fromStdString(serial);
    if (m_ui->rememberFilePath->isChecked()) {
        const auto settings = openIniSettings(m_globals->settingsGeneral);
        settings->setValue(settingskeys::pathsLastimport, m_path);
    }
    QDialog::accept();
}
