#include "maintenance/checkdbtool.h"

#include "core/globalsclass.h"
#include "core/prompts.h"
#include "core/textconv.h"
#include "mainwindow/textviewer.h"
#include "readers/reader.h"

#include <QDebug>
#include <QEventLoop>
#include <QLabel>
#include <QProgressDialog>
#include <QThread>

#include <atomic>

CheckDbSummary runCheckDbInBackground(const std::vector<CheckDbTarget> &targets, QWidget *parent)
{
    CheckDbSummary summary;
    std::atomic<bool> cancel{false};

    QProgressDialog progress(parent);
    progress.setWindowTitle(QStringLiteral("Check DB integrity"));
    // Paths are shown as they are, never as markup.
    auto *label = new QLabel(&progress);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    progress.setLabel(label);
    progress.setLabelText(QStringLiteral("Checking databases..."));
    progress.setRange(0, static_cast<int>(targets.size()));
    progress.setMinimumDuration(0);
    progress.setWindowModality(Qt::WindowModal);
    progress.setAutoClose(false);
    progress.setAutoReset(false);
    QObject::connect(&progress, &QProgressDialog::canceled, &progress,
                     [&cancel] { cancel.store(true); });

    QEventLoop loop;
    QThread *worker = QThread::create([&] {
        summary = runCheckDb(targets, cancel, [&progress, &targets](int index) {
            const QString text =
                QStringLiteral("Checking: %1").arg(toQString(targets[size_t(index)].path));
            // Queued to the dialog's thread; dropped if the dialog is gone by then.
            QMetaObject::invokeMethod(
                &progress,
                [&progress, index, text] {
                    progress.setLabelText(text);
                    progress.setValue(index);
                },
                Qt::QueuedConnection);
        });
    });
    QObject::connect(worker, &QThread::finished, &loop, &QEventLoop::quit);
    worker->start();
    loop.exec();
    worker->wait();
    delete worker;
    return summary;
}

void runCheckDbTool(const std::shared_ptr<Reader> &reader,
                    const std::shared_ptr<globalsClass> &globals, QWidget *parent)
{
    const std::vector<CheckDbTarget> targets = checkDbTargets(
        *reader, localMainDatabase(*reader, globals->datadir), reader->isConnected());
    const CheckDbSummary summary = runCheckDbInBackground(targets, parent);
    const CheckDbVerdict verdict = checkDbVerdict(summary);
    const Prompts::Button answer = prompts().detailedMessage(
        verdict.icon, parent, QStringLiteral("Finished DB check"), verdict.text, summary.details,
        Prompts::Buttons(Prompts::Ok) | Prompts::Help, Prompts::Ok);
    if (answer == Prompts::Help) {
        textViewer viewer(globals->helpfile, QStringLiteral("check-db-integrity"), parent,
                          QTextDocument::HtmlResource);
        viewer.exec();
    }
}
