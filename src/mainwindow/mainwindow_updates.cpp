// The update check of the main window: the start-up decision, the user's permission, the
// request and what its answer means. The rules live in updatecheck.cpp.

#include "mainwindow/mainwindow.h"
#include "ui_mainwindow.h"

#include "core/globalsclass.h"
#include "core/prompts.h"
#include "core/settingsstore.h"
#include "core/textconv.h"
#include "mainwindow/filedownloader.h"

#include <QDateTime>
#include <QDebug>

void MainWindow::updateStartupDecision()
{
    const auto settings = openIniSettings(m_globals->settingsGeneral);
    const int interval = readInt(*settings, settingskeys::updateInterval, -1);
    switch (updatecheck::startupAction(interval, settings->status() == QSettings::NoError)) {
    case updatecheck::StartupAction::None:
        if (interval == 0)
            qDebug() << "Automatic update is set to disabled";
        break;
    case updatecheck::StartupAction::Check:
        qDebug() << "Starting automatic check";
        updateCheckMain(automatic);
        break;
    case updatecheck::StartupAction::AskPermission:
        qDebug() << "Getting first-run update permission";
        if (updateGetUserPermission())
            updateCheckMain(automatic);
        break;
    }
}

bool MainWindow::updateGetUserPermission()
{
    const QString title = QStringLiteral("Allow automatic updates?");
    const bool yes = prompts().question(this, title,
                                        title + QStringLiteral("\nThis can be changed later under "
                                                               "settings.")) == Prompts::Yes;
    qDebug() << (yes ? "User accepted automatic updates"
                     : "User rejected automatic updates. Cancelling.");
    const auto settings = openIniSettings(m_globals->settingsGeneral);
    settings->setValue(settingskeys::updateInterval, yes ? 1 : 0);
    return yes;
}

void MainWindow::updateCheckMain(updateMode mode)
{
    if (!m_ui->actionCheck_for_Update->isEnabled() || m_downloader) {
        qDebug() << "Update check already in progress.";
        return;
    }
    m_ui->actionCheck_for_Update->setEnabled(false);

    if (mode == automatic) {
        const auto settings = openIniSettings(m_globals->settingsGeneral);
        const qint64 last = readInt64(*settings, settingskeys::lastupdate, 0);
        const int interval = readInt(*settings, settingskeys::updateInterval, 1);
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        if (!updatecheck::checkDue(now, last, interval)) {
            qDebug() << "No updatecheck necessary. Elapsed time:" << now - last;
            m_ui->actionCheck_for_Update->setEnabled(true);
            return;
        }
    }

    const QUrl url = updatecheck::manifestUrl(
        QString::fromStdString(m_globals->updateManifestURL),
        qEnvironmentVariable(updatecheck::overrideVariable));
    qDebug() << "Starting update fetch from" << url.toString();
    // An unusable address (not https) goes to the downloader as an empty URL, which fails
    // without any traffic and ends the check the usual way.
    m_downloader = new FileDownloader(url, this, updatecheck::manifestLimit, m_updateTimeoutMs);
    connect(m_downloader, &FileDownloader::downloaded, this,
            [this, mode] { updateProcessManifest(mode); });
}

void MainWindow::updateProcessManifest(updateMode mode)
{
    FileDownloader *downloader = m_downloader;
    if (!downloader)
        return;
    m_downloader = nullptr;

    updatecheck::Reply reply;
    reply.httpStatus = downloader->httpStatus();
    reply.networkError = downloader->networkError();
    reply.tooLarge = downloader->tooLarge();
    reply.body = downloader->downloadedData();
    // Not deleted here: this runs inside the downloader's own signal.
    downloader->deleteLater();

    const auto settings = openIniSettings(m_globals->settingsGeneral);
    const int interval = readInt(*settings, settingskeys::updateInterval, 1);
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const updatecheck::Outcome outcome =
        updatecheck::evaluate(reply, m_globals->versionNumbers, mode, now, interval,
                              QString::fromStdString(m_globals->websiteURL));
    if (outcome.lastupdate)
        settings->setValue(settingskeys::lastupdate, *outcome.lastupdate);
    settings->sync();

    switch (outcome.kind) {
    case updatecheck::Outcome::Newer:
        qDebug() << "Received update manifest";
        if (prompts().question(this, outcome.message, outcome.boxText) == Prompts::Yes)
            show_website();
        break;
    case updatecheck::Outcome::Current:
        qDebug() << "Received update manifest";
        if (!outcome.boxText.isEmpty())
            prompts().information(this, outcome.message, outcome.boxText);
        break;
    case updatecheck::Outcome::Malformed:
        qWarning() << "Malformed update manifest:" << reply.body;
        if (!outcome.boxText.isEmpty())
            prompts().information(this, outcome.message, outcome.boxText);
        else
            qDebug() << "Retrying update check 3 days from today";
        break;
    case updatecheck::Outcome::NotFound:
        qDebug() << "Updater 404 error. Retrying update check 7 days from today";
        prompts().information(this, outcome.message, outcome.boxText);
        break;
    case updatecheck::Outcome::Failed:
        qDebug() << outcome.message;
        prompts().information(this, outcome.message, outcome.boxText);
        if (mode == automatic)
            qDebug() << "Retrying update check 3 days from today";
        break;
    }
    m_ui->actionCheck_for_Update->setEnabled(true);
}
