#include "mainwindow/settingsdialog.h"
#include "ui_settingsdialog.h"

#include "core/globalsclass.h"
#include "core/prompts.h"
#include "core/textconv.h"

#include <QDebug>

namespace fs = std::filesystem;

settingsDialog::settingsDialog(std::shared_ptr<globalsClass> globals, QWidget *parent,
                               std::vector<fs::path> readerVolumes)
    : QDialog(parent)
    , m_ui(new Ui::settingsDialog)
    , m_globals(std::move(globals))
    , m_readerVolumes(std::move(readerVolumes))
{
    m_ui->setupUi(this);
    loadSettings();

    if (!datadirFixed()) {
        m_ui->gn_datadir->setText(toQString(m_globals->datadir));
    } else {
        m_ui->gn_datadir_default->setEnabled(false);
        m_ui->gn_datadir_browse->setEnabled(false);
        m_ui->gn_datadir->setText((m_globals->settingsdirViaCLI
                                       ? QStringLiteral("Path set using CLI: ")
                                       : QStringLiteral("Path set by portable mode: ")) +
                                  toQString(m_globals->datadir));
    }
    // Nothing is written while the file cannot be read, so a folder choice would be lost.
    if (m_loadingFailed) {
        m_ui->gn_datadir_default->setEnabled(false);
        m_ui->gn_datadir_browse->setEnabled(false);
    }
    connect(m_ui->gn_datadir_browse, &QPushButton::clicked, this, &settingsDialog::chooseDatadir);
    connect(m_ui->gn_datadir_default, &QPushButton::clicked, this, &settingsDialog::resetDatadir);
    connect(m_ui->buttonBox, &QDialogButtonBox::accepted, this, &settingsDialog::accept);
    connect(m_ui->buttonBox, &QDialogButtonBox::rejected, this, &settingsDialog::reject);
    m_ui->columnResizeDelaySpinbox->hide();
    m_ui->columnResizeDelay_label->hide();
}

settingsDialog::~settingsDialog() = default;

bool settingsDialog::datadirFixed() const
{
    return m_globals->portablemode || m_globals->settingsdirViaCLI;
}

void settingsDialog::loadSettings()
{
    const SettingsLoad loaded = settingsform::load(m_globals->settingsGeneral);
    m_ui->textSearchDelaySpinbox->setRange(0, 5000);
    m_ui->columnResizeDelaySpinbox->setRange(500, 5000);
    m_ui->mountRetriesSpinbox->setRange(1, 10);
    if (!loaded.loaded) {
        m_loadingFailed = true;
        const QString title = QStringLiteral("Unloadable or unsaveable settings file:");
        qWarning() << title << loaded.fileName << loaded.status;
        prompts().warning(this, title,
                          title + QStringLiteral("\n%1\nPerhaps a similarly named directory "
                                                 "exists there?\nError code: %2")
                                      .arg(loaded.fileName)
                                      .arg(loaded.status));
    } else {
        m_loaded = loaded.form;
    }
    const GeneralSettings &g = m_loaded.general;
    m_ui->tabWidget->setCurrentIndex(g.tabs_lastopened);
    m_ui->textSearchDelaySpinbox->setValue(int(g.textSearchDelay));
    m_ui->columnResizeDelaySpinbox->setValue(int(g.columnResizeDelay));
    m_ui->mountRetriesSpinbox->setValue(int(g.mountRetries));
    m_ui->exporter_csv_separator->setCurrentIndex(
        m_ui->exporter_csv_separator->findText(g.exporter_csv_separator));
    m_ui->disable_load_anndata->setChecked(g.disable_load_anndata);
    m_ui->NumberRowsUsingDeviceID->setChecked(g.NumberRowsUsingDeviceID);
    m_ui->up_copytocardmode->setCurrentIndex(g.up_copytocardmode);
    m_ui->up_deletemode->setCurrentIndex(g.up_deletemode);
    m_ui->up_alwaysreplace->setChecked(g.up_alwaysreplace);
    m_ui->up_zipdisabled->setChecked(g.up_zipdisabled);
    m_ui->disable_devicemonitor->setChecked(g.disable_devicemonitor);
    m_ui->enable_debuglog->setChecked(g.enable_debuglog);
    // -1 (never asked) selects nothing, so that OK keeps the first-run question.
    m_ui->updatesInterval->setCurrentIndex(m_loaded.updateInterval);
    qDebug() << "Settings loaded from: " << loaded.fileName;
}

bool settingsDialog::saveSettings()
{
    const QString file = toQString(m_globals->settingsGeneral);
    if (m_loadingFailed) {
        // The user was warned at opening; writing defaults over an unread file loses data.
        qWarning() << "Settings NOT saveable. Error code: unloadable file - filename:" << file;
        return false;
    }
    SettingsForm form = m_loaded;
    GeneralSettings &g = form.general;
    g.tabs_lastopened = m_ui->tabWidget->currentIndex();
    g.textSearchDelay = unsigned(m_ui->textSearchDelaySpinbox->value());
    g.columnResizeDelay = unsigned(m_ui->columnResizeDelaySpinbox->value());
    g.mountRetries = unsigned(m_ui->mountRetriesSpinbox->value());
    g.exporter_csv_separator = settingsform::csvSeparatorToStore(
        m_ui->exporter_csv_separator->currentIndex(), m_loaded.storedCsvSeparator);
    g.disable_load_anndata = m_ui->disable_load_anndata->isChecked();
    g.NumberRowsUsingDeviceID = m_ui->NumberRowsUsingDeviceID->isChecked();
    g.up_copytocardmode = m_ui->up_copytocardmode->currentIndex();
    g.up_deletemode = m_ui->up_deletemode->currentIndex();
    g.up_alwaysreplace = m_ui->up_alwaysreplace->isChecked();
    g.up_zipdisabled = m_ui->up_zipdisabled->isChecked();
    g.disable_devicemonitor = m_ui->disable_devicemonitor->isChecked();
    g.enable_debuglog = m_ui->enable_debuglog->isChecked();
    form.updateInterval =
        settingsform::updateIntervalToStore(m_ui->updatesInterval->currentIndex());
    const bool writeDatadir = !datadirFixed() && m_stagedDatadir.has_value();
    if (writeDatadir)
        form.datadir = toQString(*m_stagedDatadir);

    const int status = settingsform::save(m_globals->settingsGeneral, form, writeDatadir);
    if (status != 0) {
        const QString message = QStringLiteral("Settings NOT saveable. Error code: %1").arg(status);
        qWarning() << message << " - filename:" << file;
        prompts().warning(this, message, message + QStringLiteral("\n") + file);
        return false;
    }
    qDebug() << "Saved settings to: " << file;
    return true;
}

void settingsDialog::accept()
{
    const bool saved = saveSettings();
    if (saved && m_stagedDatadir) {
        // The old folder stays as it is: the user's mirrors and backups remain there.
        m_globals->setDatadir(*m_stagedDatadir);
        prompts().warning(this, QStringLiteral("Restart"),
                          QStringLiteral("Best to restart the program after changing the data "
                                         "directory"));
    }
    m_globals->loadViewSettings();
    QDialog::accept();
}

void settingsDialog::stageDatadir(const fs::path &path)
{
    if (path == m_globals->datadir)
        m_stagedDatadir.reset();
    else
        m_stagedDatadir = path;
    m_ui->gn_datadir->setText(toQString(path));
}

void settingsDialog::chooseDatadir()
{
    const QString chosen = prompts().existingDirectory(this, QStringLiteral("Select a datadir location"),
                                                       m_ui->gn_datadir->text());
    if (chosen.isEmpty())
        return;
    const fs::path path = toPath(chosen);
    const QString problem = settingsform::datadirProblem(path, *m_globals, m_readerVolumes);
    if (!problem.isEmpty()) {
        qWarning() << "Refused data directory" << chosen << problem;
        prompts().warning(this, QStringLiteral("Data directory not changed"),
                          QStringLiteral("%1\n%2\nThe data directory stays:\n%3")
                              .arg(chosen, problem, m_ui->gn_datadir->text()));
        return;
    }
    stageDatadir(path);
}

void settingsDialog::resetDatadir()
{
    if (m_globals->defaultDatadir.empty())
        return;
    stageDatadir(m_globals->defaultDatadir);
}
