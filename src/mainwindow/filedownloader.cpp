#include "mainwindow/filedownloader.h"

#include <QDebug>
#include <QMetaEnum>
#include <QNetworkReply>
#include <QNetworkRequest>

FileDownloader::FileDownloader(const QUrl &url, QObject *parent, int limit, int timeoutMs)
    : QObject(parent)
    , m_limit(limit)
{
    connect(&m_manager, &QNetworkAccessManager::finished, this, &FileDownloader::fileDownloaded);
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(5);
    m_reply = m_manager.get(request);
    connect(m_reply, &QNetworkReply::readyRead, this, &FileDownloader::readAvailable);

    m_timeout.setSingleShot(true);
    connect(&m_timeout, &QTimer::timeout, this, [this] {
        m_timedOut = true;
        if (m_reply)
            m_reply->abort();
    });
    m_timeout.start(timeoutMs);
}

FileDownloader::~FileDownloader()
{
    qDebug() << "Deleted filedownloader";
}

void FileDownloader::readAvailable()
{
    if (!m_reply || m_tooLarge)
        return;
    // One byte past the limit is enough to know the reply is no manifest.
    m_data += m_reply->read(qint64(m_limit) + 1 - m_data.size());
    if (m_data.size() > m_limit) {
        m_tooLarge = true;
        m_reply->abort();
    }
}

void FileDownloader::fileDownloaded(QNetworkReply *pReply)
{
    if (m_done || pReply != m_reply)
        return;
    m_done = true;
    m_timeout.stop();
    readAvailable();
    m_status = pReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    m_error = int(pReply->error());
    qDebug() << "File downloader status/error:" << m_status
             << QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(m_error);
    m_reply = nullptr;
    pReply->deleteLater();
    emit downloaded();
}
