#include "backup/dialogbackupmanual.h"

#include "ui_dialogbackupmanual.h"

#include "backup/fileutils.h"
#include "backup/selectdirectory.h"
#include "core/appinfo.h"
#include "core/datadir.h"
#include "core/globalsclass.h"
#include "core/prompts.h"
#include "core/settingsstore.h"
#include "core/textconv.h"
#include "mainwindow/textviewer.h"
#include "readers/reader.h"
#include "readers/readerdata.h"

#include <QCheckBox>
#include <QDebug>
#include <QEventLoop>
#include <QProgressDialog>
#include <QPushButton>
#include <QThread>
#include <QUrl>

#include <ctime>

namespace fs = std::filesystem;

namespace {

// Keys in the reader's group of the device preferences; stored in users' files.
const QString keyDicts = QStringLiteral("manualbackupDicts");
const QString keyApps = QStringLiteral("manualbackupApps");
const QString keyFonts = QStringLiteral("manualbackupFonts");

constexpr std::array<BackupCategory, backupCategoryCount> allCategories = {
    BackupCategory::databases, BackupCategory::dicts, BackupCategory::apps,
    BackupCategory::fonts,     BackupCategory::main,  BackupCategory::card};

QString boxPattern(BackupCategory category)
{
    switch (category) {
    case BackupCategory::databases:
        return QStringLiteral("Main/annotation database(s) (%1 files, %2)");
    case BackupCategory::dicts:
        return QStringLiteral("Dictionaries (%1 files, %2)");
    case BackupCategory::apps:
        return QStringLiteral("Apps (%1 files, %2)");
    case BackupCategory::fonts:
        return QStringLiteral("Fonts (%1 files, %2)");
    case BackupCategory::main:
        return QStringLiteral("Other files on main memory (%1 files, %2)");
    case BackupCategory::card:
        break;
    }
    return QStringLiteral("Other files on card memory (%1 files, %2)");
}

QString sizeText(uint64_t bytes)
{
    return QString::fromStdString(humanReadableSize(int64_t(bytes)));
}

} // namespace

DialogBackupManual::DialogBackupManual(std::shared_ptr<ReaderData> registry,
                                       std::shared_ptr<globalsClass> globals,
                                       std::shared_ptr<Reader> reader, QWidget *parent)
    : QDialog(parent)
    , m_ui(new Ui::DialogBackupManual)
    , m_registry(std::move(registry))
    , m_globals(std::move(globals))
    , m_reader(std::move(reader))
{
    m_ui->setupUi(this);
    m_defaultDestination =
        toQString(m_registry->datadirSubfolder(m_reader->serial, manualbackup));
    {
        const auto settings = openIniSettings(m_globals->settingsGeneral);
        const QString stored = readString(*settings, settingskeys::pathsManualbackup);
        m_ui->destinationpath->setText(stored.isEmpty() ? m_defaultDestination : stored);
    }

    for (const BackupCategory category : allCategories)
        m_sources[size_t(category)] = backupSources(*m_reader, category);
    m_ui->cb_databases->setEnabled(false);
    for (const BackupCategory category : {BackupCategory::dicts, BackupCategory::apps,
                                          BackupCategory::fonts, BackupCategory::main,
                                          BackupCategory::card}) {
        box(category)->setEnabled(!m_sources[size_t(category)].empty());
    }

    for (const BackupCategory category : allCategories) {
        connect(box(category), &QCheckBox::stateChanged, this,
                [this, category](int state) { categoryToggled(category, state); });
    }
    connect(m_ui->browse_destinationpath, &QPushButton::clicked, this, &DialogBackupManual::browse);
    connect(m_ui->reset_destinationpath, &QPushButton::clicked, this,
            &DialogBackupManual::resetDestination);
    connect(m_ui->buttonBox, &QDialogButtonBox::helpRequested, this, &DialogBackupManual::help);
    connect(m_ui->buttonBox, &QDialogButtonBox::accepted, this, &DialogBackupManual::accept);
    connect(m_ui->buttonBox, &QDialogButtonBox::rejected, this, &DialogBackupManual::reject);

    m_ui->cb_databases->setChecked(true);
    const auto devices = openIniSettings(m_globals->settingsDevices);
    devices->beginGroup(QString::fromStdString(m_reader->serial));
    m_ui->cb_dicts->setChecked(readBool(*devices, keyDicts, false));
    m_ui->cb_apps->setChecked(readBool(*devices, keyApps, false));
    m_ui->cb_fonts->setChecked(readBool(*devices, keyFonts, false));
    refreshTotal();
}

DialogBackupManual::~DialogBackupManual() = default;

QCheckBox *DialogBackupManual::box(BackupCategory category) const
{
    switch (category) {
    case BackupCategory::databases:
        return m_ui->cb_databases;
    case BackupCategory::dicts:
        return m_ui->cb_dicts;
    case BackupCategory::apps:
        return m_ui->cb_apps;
    case BackupCategory::fonts:
        return m_ui->cb_fonts;
    case BackupCategory::main:
        return m_ui->cb_main;
    case BackupCategory::card:
        break;
    }
    return m_ui->cb_card;
}

// The databases box is disabled but always part of a backup; a disabled folder box (a
// remembered choice for a folder the reader lacks) is neither surveyed nor archived.
bool DialogBackupManual::included(BackupCategory category) const
{
    const QCheckBox *checkBox = box(category);
    return checkBox->checkState() == Qt::Checked &&
           (category == BackupCategory::databases || checkBox->isEnabled());
}

void DialogBackupManual::categoryToggled(BackupCategory category, int state)
{
    if (state == Qt::Checked && included(category) && !m_sizes[size_t(category)] &&
        !survey(category)) {
        const QSignalBlocker block(box(category));
        box(category)->setChecked(false);
    }
    refreshTotal();
}

bool DialogBackupManual::survey(BackupCategory category)
{
    if (category == BackupCategory::databases)
        qDebug() << "Checking profile (if any) filesizes";
    const std::vector<BackupSource> sources = m_sources[size_t(category)];
    const std::vector<std::string> skip = backupSkipNames(m_reader->vendor);
    // Only main and card memory are measured without the folders the other parts cover.
    const bool wholeMemory = category == BackupCategory::main || category == BackupCategory::card;
    m_cancel = false;
    BackupSize size;
    QProgressDialog progress(QStringLiteral("Counting files..."), QStringLiteral("Cancel"), 0, 0,
                             this);
    runOffThread(progress, [&] {
        size = surveyBackupSize(sources, wholeMemory ? skip : std::vector<std::string>(), m_cancel);
    });
    if (size.cancelled)
        return false;
    if (category == BackupCategory::databases)
        m_errors += size.problems;
    m_sizes[size_t(category)] = size;
    box(category)->setText(boxPattern(category).arg(size.files).arg(sizeText(size.bytes)));
    return true;
}

void DialogBackupManual::refreshTotal()
{
    // Summed from the boxes every time, so no order of clicks can make it drift or wrap.
    m_bytesNeeded = 0;
    for (const BackupCategory category : allCategories) {
        if (included(category) && m_sizes[size_t(category)])
            m_bytesNeeded += m_sizes[size_t(category)]->bytes;
    }
    m_ui->label_totalfilesum->setText(
        QStringLiteral("Total size required:  %2").arg(sizeText(m_bytesNeeded)));
}

void DialogBackupManual::browse()
{
    const QString folder = selectDirectory(this);
    if (folder.isNull())
        return;
    m_ui->destinationpath->setText(folder);
    openIniSettings(m_globals->settingsGeneral)->setValue(settingskeys::pathsManualbackup, folder);
}

void DialogBackupManual::resetDestination()
{
    m_ui->destinationpath->setText(m_defaultDestination);
    openIniSettings(m_globals->settingsGeneral)
        ->setValue(settingskeys::pathsManualbackup, QString());
}

void DialogBackupManual::help()
{
    textViewer viewer(m_globals->helpfile, QStringLiteral("manual-backup-device"), this,
                      QTextDocument::HtmlResource);
    viewer.exec();
}

// Runs `work` on a thread of its own while this thread keeps serving events (the progress
// dialog and its cancel button) until the work is done.
void DialogBackupManual::runOffThread(QProgressDialog &progress, std::function<void()> work)
{
    progress.setMinimumDuration(0);
    progress.setWindowModality(Qt::WindowModal);
    connect(&progress, &QProgressDialog::canceled, this, [this] { m_cancel = true; });
    QEventLoop loop;
    // Nothing may escape a thread: an exception there would end the program.
    QThread *thread = QThread::create([work = std::move(work)] {
        try {
            work();
        } catch (const std::exception &error) {
            qWarning() << "Backup worker failed:" << error.what();
        }
    });
    connect(thread, &QThread::finished, &loop, &QEventLoop::quit, Qt::QueuedConnection);
    thread->start();
    loop.exec();
    thread->wait();
    delete thread;
    // Closing a progress dialog reports a cancel; none is meant here.
    disconnect(&progress, &QProgressDialog::canceled, this, nullptr);
    progress.close();
}

void DialogBackupManual::saveChoices()
{
    const auto devices = openIniSettings(m_globals->settingsDevices);
    devices->beginGroup(QString::fromStdString(m_reader->serial));
    // Without "serial" a later scan of the preferences would skip the group.
    devices->setValue(settingskeys::devSerial, QString::fromStdString(m_reader->serial));
    devices->setValue(keyDicts, m_ui->cb_dicts->isChecked());
    devices->setValue(keyApps, m_ui->cb_apps->isChecked());
    devices->setValue(keyFonts, m_ui->cb_fonts->isChecked());
}

void DialogBackupManual::accept()
{
    if (!m_reader->isConnected()) {
        const QString text = QStringLiteral("Device is disconnected. Closing.");
        prompts().warning(this, text, text);
        m_ui->buttonBox->setEnabled(true);
        QDialog::reject();
        return;
    }
    const QString folderText = m_ui->destinationpath->text();
    const fs::path folder = toPath(folderText);
    const std::string label = m_ui->backuplabel->text().trimmed().toStdString();
    refreshTotal();
    if (m_bytesNeeded == 0) {
        prompts().warning(this, QStringLiteral("Nothing to backup"),
                          QStringLiteral("Nothing to backup"));
        return;
    }
    std::error_code ec;
    if (folderText.isEmpty() || !fs::is_directory(folder, ec)) {
        const QString text = QStringLiteral("Destination path no longer exists.");
        prompts().warning(this, text, text);
        return;
    }
    if (backupDestinationOnReader(folder, *m_reader)) {
        prompts().warning(this, QStringLiteral("Destination is on the reader"),
                          QStringLiteral("The destination folder lies on the reader itself.\n"
                                         "Choose a folder on this computer."));
        return;
    }

    qDebug() << "Backup export dir: " << folderText;
    const fs::space_info space = fs::space(folder, ec);
    qDebug() << "Space free/needed/nospace" << space.available << m_bytesNeeded
             << (!ec && m_bytesNeeded > space.available ? "true" : "false");
    if (!ec && m_bytesNeeded > space.available) {
        const QString title = QStringLiteral("Insufficient available disk space");
        prompts().warning(this, title,
                          title + QStringLiteral("\nSpace needed: %1").arg(sizeText(m_bytesNeeded)));
        return;
    }
    if (ec) {
        const QString title = QStringLiteral("Unable to check available/needed disk space");
        qWarning() << title << ec.value();
        if (prompts().message(Prompts::Warning, this, title,
                              title + QStringLiteral("\n%1\nProceed with caution.")
                                          .arg(QString::fromStdString(ec.message())),
                              Prompts::Ok | Prompts::Cancel, Prompts::Cancel) != Prompts::Ok) {
            return;
        }
    }
    if (backupExceedsFatLimit(m_bytesNeeded, fileSystemTypeOf(folder))) {
        const QString title = QStringLiteral("Destination cannot hold large files");
        if (prompts().message(Prompts::Warning, this, title,
                              QStringLiteral("The backup may need %1, but the destination is a "
                                             "FAT volume, which holds no file of 4 GB or more. "
                                             "The backup will fail if the archive grows that "
                                             "large.\nProceed anyway?")
                                  .arg(sizeText(m_bytesNeeded)),
                              Prompts::Ok | Prompts::Cancel, Prompts::Cancel) != Prompts::Ok) {
            return;
        }
    }

    BackupRequest request;
    request.archive = folder / backupArchiveName(m_reader->serial, std::time(nullptr),
                                                 sanitisedBackupLabel(label));
    qDebug() << "Archive name:" << toQString(request.archive);
    request.comment = backupComment(appinfo::applicationVersion, m_reader->vendor,
                                    m_reader->serial, m_reader->name, label);
    request.skipNames = backupSkipNames(m_reader->vendor);
    for (const BackupCategory category : allCategories) {
        if (included(category)) {
            const auto &sources = m_sources[size_t(category)];
            request.sources.insert(request.sources.end(), sources.begin(), sources.end());
        }
    }
    request.progress = [this](double fraction) {
        if (m_observer)
            m_observer(fraction);
        emit progressEmitted(fraction);
    };

    m_ui->buttonBox->setEnabled(false);
    saveChoices();
    m_cancel = false;
    m_lastArchive = request.archive;
    QProgressDialog progress(QStringLiteral("Archiving files..."), QStringLiteral("Cancel backup"),
                             0, 100, this);
    connect(this, &DialogBackupManual::progressEmitted, &progress,
            [&progress](double fraction) { progress.setValue(int(fraction * 100)); },
            Qt::QueuedConnection);
    BackupResult result;
    runOffThread(progress, [&] { result = runBackup(request, m_cancel); });
    m_lastResult = result;
    m_ui->buttonBox->setEnabled(true);

    switch (result.outcome) {
    case BackupResult::finished:
        report(result, folderText);
        QDialog::accept();
        return;
    case BackupResult::cancelled:
        prompts().information(this, QStringLiteral("Backup cancelled"),
                              result.archiveExists
                                  ? QStringLiteral("The backup was cancelled.")
                                  : QStringLiteral("The backup was cancelled. No archive was "
                                                   "written."));
        return;
    case BackupResult::openFailed:
        prompts().warning(this, QStringLiteral("Error: could not open/create ZIP archive."),
                          QString::fromStdString(result.error) + QStringLiteral("\nCancelling."));
        return;
    case BackupResult::writeFailed:
        break;
    }
    const QString title = QStringLiteral("Error: could not create ZIP archive.");
    prompts().warning(this, title,
                      QStringLiteral("%1\n%2\n%3")
                          .arg(title, QString::fromStdString(result.error),
                               QStringLiteral("Cancelling manual backup...")));
}

void DialogBackupManual::report(const BackupResult &result, const QString &folder)
{
    QString informative;
    if (result.copied.empty()) {
        informative = QStringLiteral("No files exported / to export");
    } else {
        // Fully percent-encoded, "&" and the quote around the attribute included, so the
        // link needs no HTML escapes (which the toolkit's viewer would not undo in a link).
        const QString link = QUrl::fromLocalFile(folder)
                                 .toString(QUrl::FullyEncoded)
                                 .replace(QLatin1Char('&'), QStringLiteral("%26"))
                                 .replace(QLatin1Char('\''), QStringLiteral("%27"));
        informative = QStringLiteral("<p>Exported %1 file(s) to:</p><p><a href='%2'>%3</a></p>")
                          .arg(result.copied.size())
                          .arg(link, folder.toHtmlEscaped());
    }
    if (result.failed.empty()) {
        informative += QStringLiteral("<p>No errors reported</p>");
    } else {
        informative += QStringLiteral("<p style=\"background-color: yellow;\"><b>Failed to "
                                      "export %3 files</b> (see details).</p>")
                           .arg(result.failed.size());
    }
    if (!result.skipped.empty()) {
        informative += QStringLiteral("<p>Skipped %1 links or special files (see details).</p>")
                           .arg(result.skipped.size());
    }
    QString details;
    for (const std::string &path : result.copied)
        details += QStringLiteral("Copied: %1 \n").arg(QString::fromStdString(path));
    if (!result.failed.empty() || !result.skipped.empty())
        details += QStringLiteral("\n\n");
    for (const std::string &path : result.failed)
        details += QStringLiteral("Failed: %1 \n").arg(QString::fromStdString(path));
    for (const std::string &path : result.skipped)
        details += QStringLiteral("Skipped: %1 \n").arg(QString::fromStdString(path));
    const QString title = QStringLiteral("File(s) backup finished");
    prompts().report(result.failed.empty() ? Prompts::Information : Prompts::Warning, this, title,
                     informative, details);
}
