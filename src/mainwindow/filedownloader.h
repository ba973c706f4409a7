#pragma once

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QObject>
#include <QTimer>
#include <QUrl>

class QNetworkReply;

/// Fetches one small file with a plain GET, started at construction. Reads at most
/// `limit` bytes (one more marks the reply too large and ends it), gives up after
/// `timeoutMs`, follows only redirects that are not less safe, and ignores no TLS error.
/// Emits downloaded() once; the owner releases it with deleteLater(). GUI thread.
class FileDownloader final : public QObject
{
    Q_OBJECT
public:
    FileDownloader(const QUrl &url, QObject *parent = nullptr, int limit = 20,
                   int timeoutMs = 30000);
    ~FileDownloader() override;

    QByteArray downloadedData() const { return m_data; }
    int httpStatus() const { return m_status; }
    int networkError() const { return m_error; }
    bool tooLarge() const { return m_tooLarge; }
    bool timedOut() const { return m_timedOut; }

signals:
    void downloaded();

public slots:
    void fileDownloaded(QNetworkReply *pReply);

private:
    void readAvailable();

    QNetworkAccessManager m_manager;
    QNetworkReply *m_reply = nullptr;
    QTimer m_timeout;
    QByteArray m_data;
    int m_limit;
    int m_status = 0;
    int m_error = 0;
    bool m_tooLarge = false;
    bool m_timedOut = false;
    bool m_done = false;
};
