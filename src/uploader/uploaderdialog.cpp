#include "uploader/uploaderdialog.h"
#include "ui_uploaderdialog.h"

#include "core/globalsclass.h"
#include "core/prompts.h"
#include "core/settingsstore.h"
#include "core/textconv.h"
#include "mainwindow/textviewer.h"
#include "readers/reader.h"
#include "readers/readerdata.h"
#include "uploader/uploadermodel.h"
#include "uploader/uploadrun.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QHeaderView>
#include <QMenu>
#include <QProgressDialog>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QThread>

#include <algorithm>

namespace fs = std::filesystem;

namespace {

const int defaultColumnWidths[] = {260, 80, 40, 230, 230, 60};

} // namespace

QStringList uploaderDialog::chooseFiles(QWidget *parent, const globalsClass &globals)
{
    const auto settings = openIniSettings(globals.settingsGeneral);
    const bool zipDisabled = readBool(*settings, settingskeys::upZipdisabled, false);
    QString folder = readString(*settings, settingskeys::pathsLastUploaddir);
    if (!folder.isEmpty() && !QFileInfo(folder).isDir())
        folder.clear();
    const QStringList files = prompts().openFileNames(
        parent, QStringLiteral("Select files to send to the device"), folder,
        uploadFileFilter(zipDisabled));
    if (files.isEmpty()) {
        qDebug() << "User rejected uploader dialog.";
        return {};
    }
    settings->setValue(settingskeys::pathsLastUploaddir, QFileInfo(files.first()).absolutePath());
    return files;
}

uploaderDialog::uploaderDialog(const QStringList &files, std::shared_ptr<Reader> reader,
                               std::shared_ptr<globalsClass> globals, QWidget *parent)
    : QDialog(parent)
    , m_ui(new Ui::uploaderDialog)
    , m_reader(std::move(reader))
    , m_globals(std::move(globals))
{
    m_ui->setupUi(this);
    const UploadSettings settings = readUploadSettings(m_globals->settingsGeneral);
    const QString destination = QStringLiteral("Destination: %1 (%2)")
                                    .arg(toQString(m_reader->name), toQString(m_reader->mainpath));
    qDebug() << destination;
    m_ui->label_destination->setText(destination);

    std::vector<fs::path> paths;
    for (const QString &file : files)
        paths.push_back(toPath(file));
    UploadItemsBuild build = buildUploadItems(paths, m_reader->mainpath, m_reader->cardpath, settings);
    m_items = std::move(build.items);
    qDebug() << "Number of fileobjects: " << m_items.size();
    qDebug() << "Start model setup";
    m_model = new uploaderModel(m_items, m_reader->mainpath, m_reader->cardpath, this);
    if (build.archiveFailed) {
        m_ui->label_warning->setText(QStringLiteral("One or more .zip files could not be read."));
        m_ui->label_warning->setStyleSheet(QStringLiteral("background-color: yellow;"));
    }

    qDebug() << "Setting up proxy";
    m_proxy = new QSortFilterProxyModel(this);
    m_proxy->setSourceModel(m_model);
    m_proxy->setSortCaseSensitivity(Qt::CaseInsensitive);
    m_ui->tableView1->setModel(m_proxy);
    m_ui->tableView1->sortByColumn(uploaderModel::colType, Qt::AscendingOrder);

    qDebug() << "Restoring view";
    const auto stored = openIniSettings(m_globals->settingsGeneral);
    if (!m_ui->tableView1->horizontalHeader()->restoreState(
            stored->value(settingskeys::uploaderColumnsettings).toByteArray()))
        setDefaultColumnSettings();

    const bool hasCard = !m_reader->cardpath.empty();
    m_ui->cardAll->setEnabled(hasCard);
    m_ui->cardNone->setEnabled(hasCard);

    connect(m_ui->copyAll, &QPushButton::clicked, this,
            [this] { setColumnChecked(uploaderModel::colCopy, true); });
    connect(m_ui->copyNone, &QPushButton::clicked, this,
            [this] { setColumnChecked(uploaderModel::colCopy, false); });
    connect(m_ui->cardAll, &QPushButton::clicked, this,
            [this] { setColumnChecked(uploaderModel::colCard, true); });
    connect(m_ui->cardNone, &QPushButton::clicked, this,
            [this] { setColumnChecked(uploaderModel::colCard, false); });
    QHeaderView *header = m_ui->tableView1->horizontalHeader();
    header->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(header, &QHeaderView::customContextMenuRequested, this, &uploaderDialog::showHeaderMenu);
    connect(m_ui->buttonBox, &QDialogButtonBox::accepted, this, &uploaderDialog::accept);
    connect(m_ui->buttonBox, &QDialogButtonBox::rejected, this, &uploaderDialog::reject);
    connect(m_ui->buttonBox, &QDialogButtonBox::helpRequested, this, &uploaderDialog::help);
}

uploaderDialog::~uploaderDialog() = default;

void uploaderDialog::setDefaultColumnSettings()
{
    for (int column = 0; column < uploaderModel::colCount; ++column)
        m_ui->tableView1->setColumnWidth(column, defaultColumnWidths[column]);
    m_ui->tableView1->resizeRowsToContents();
}

void uploaderDialog::showHeaderMenu(const QPoint &pos)
{
    QMenu menu(this);
    menu.addAction(QStringLiteral("Reset to default"), this, &uploaderDialog::setDefaultColumnSettings);
    menu.exec(m_ui->tableView1->horizontalHeader()->mapToGlobal(pos));
}

void uploaderDialog::setColumnChecked(int column, bool checked)
{
    QAbstractItemModel *model = m_ui->tableView1->model();
    for (int row = 0; row < model->rowCount(); ++row) {
        const QModelIndex index = model->index(row, column);
        if (!index.isValid()) {
            qDebug() << "Invalid index";
            return;
        }
        if (model->flags(index).testFlag(Qt::ItemIsEnabled))
            model->setData(index, checked ? Qt::Checked : Qt::Unchecked, Qt::CheckStateRole);
    }
}

void uploaderDialog::help()
{
    textViewer viewer(m_globals->helpfile, QStringLiteral("send-files-to-device"), this,
                      QTextDocument::HtmlResource);
    viewer.exec();
}

void uploaderDialog::accept()
{
    // What the worker needs of the reader, copied now: a rescan may change the reader.
    ReaderData *registry = m_reader->owner;
    const fs::path mainPath = m_reader->mainpath;
    const fs::path cardPath = m_reader->cardpath;
    const std::string mainDevice = m_reader->maindevice;
    const std::string cardDevice = m_reader->carddevice;
    UploadTarget target;
    target.volumeMounted = [=](const fs::path &root) {
        if (!registry || root.empty())
            return false;
        if (root == mainPath)
            return registry->isMountedVolume(root, mainDevice);
        return root == cardPath && registry->isMountedVolume(root, cardDevice);
    };
    // An empty mount point stays behind when a reader is pulled: never write into it.
    if (!m_reader->isConnected() || !target.volumeMounted(mainPath)) {
        const QString text = QStringLiteral("Device is disconnected. Closing.");
        prompts().warning(this, text, text);
        QDialog::reject();
        return;
    }

    m_stop = false;
    const int count = static_cast<int>(
        std::count_if(m_items.begin(), m_items.end(), [](const UploadItem &i) { return i.copy; }));
    qDebug() << "User accepted uploader dialog...";
    QApplication::setOverrideCursor(Qt::WaitCursor);
    m_progress = new QProgressDialog(QStringLiteral("Copying files..."), QStringLiteral("Stop"), 0,
                                     count, this);
    m_progress->setWindowModality(Qt::WindowModal);
    m_progress->setAutoClose(false);
    m_progress->setAutoReset(false);
    m_progress->setMinimumDuration(0);
    m_progress->setValue(0);
    connect(m_progress, &QProgressDialog::canceled, this, [this] { m_stop = true; });

    target.confirmFolder = [this](const fs::path &folder, bool onCard) {
        bool ok = false;
        QMetaObject::invokeMethod(
            this,
            [&] {
                ok = prompts().warning(m_progress, QStringLiteral("Creating directories"),
                                       QStringLiteral("Creating directory \"%1\"\n on %2.\n\n"
                                                      "Cancelling will skip copying this file.")
                                           .arg(toQString(folder),
                                                onCard ? QStringLiteral("SD card")
                                                       : QStringLiteral("device")),
                                       Prompts::Buttons(Prompts::Ok) | Prompts::Cancel) ==
                     Prompts::Ok;
            },
            Qt::BlockingQueuedConnection);
        return ok;
    };
    target.folderFailed = [this](const fs::path &folder) {
        QMetaObject::invokeMethod(
            this,
            [&] {
                const QString title = QStringLiteral("Failed creating dir (skipping file copy): ");
                prompts().warning(m_progress, title, title + toQString(folder));
            },
            Qt::BlockingQueuedConnection);
    };
    QProgressDialog *progress = m_progress;
    auto report = [progress](int done) {
        QMetaObject::invokeMethod(progress, [progress, done] { progress->setValue(done); },
                                  Qt::QueuedConnection);
    };

    // The worker runs on its own copy: the table keeps painting the items meanwhile.
    std::vector<UploadItem> work = m_items;
    UploadRunResult run;
    QEventLoop loop;
    QThread *thread = QThread::create([&] {
        try {
            run = runUpload(work, target, m_stop, report);
        } catch (const std::exception &e) { // out of memory: nothing else throws in there
            run.report.push_back(std::string("Copy run failed: ") + e.what());
            ++run.errors;
        }
    });
    connect(thread, &QThread::finished, &loop, &QEventLoop::quit);
    thread->start();
    loop.exec();
    thread->wait();
    delete thread;
    m_items = std::move(work);
    m_model->itemsChanged();

    delete m_progress;
    m_progress = nullptr;
    QApplication::restoreOverrideCursor();
    showReport(run);

    if (m_ui->tableView1->columnWidth(0) > 0) {
        const auto settings = openIniSettings(m_globals->settingsGeneral);
        settings->setValue(settingskeys::uploaderColumnsettings,
                           m_ui->tableView1->horizontalHeader()->saveState());
    }
    QDialog::accept();
}

void uploaderDialog::showReport(const UploadRunResult &run)
{
    const QString title = QStringLiteral("%1 copy and delete operations")
                              .arg(m_stop ? QStringLiteral("Cancelled") : QStringLiteral("Completed"));
    QString lines;
    for (const std::string &line : run.report)
        lines += toQString(line).toHtmlEscaped() + QLatin1Char('\n');
    QString text = QStringLiteral("<p>%1</p>%2").arg(
        title, run.errors > 0
                   ? QStringLiteral("<p style=\"background-color: yellow\">Errors occurred</p>")
                   : QString());
    if (run.disconnected)
        text += QStringLiteral("<p>Device is disconnected.</p>");
    text += QStringLiteral("<pre>%1</pre>").arg(lines);
    prompts().information(this, title, text);
}
