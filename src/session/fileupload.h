#pragma once

#include "model/attachment.h"

#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;

// One file on its way to the server: streamed from disk as the body of "POST /upload", so that
// no file is ever held in memory whole.
class FileUpload : public QObject
{
    Q_OBJECT

public:
    // A transfer that moves no byte for this long is given up; the server cuts a stalled
    // upload after 30 s as well.
    static constexpr int stallTimeoutMs = 30 * 1000;

    explicit FileUpload(QNetworkAccessManager *network, QObject *parent = nullptr);
    ~FileUpload() override;

    // Starts sending `path` as `name` into the chat; false (and nothing sent) when the file
    // cannot be read. A server that asks to be asked later (429, 503) gets the file again after
    // the wait it names, as often as it asks, until abort().
    bool start(const QString &baseUrl,
        const QString &httpToken,
        const QString &chatId,
        const QString &path,
        const QString &name);
    // Stops the transfer or the wait; neither finished nor failed follows.
    void abort();

signals:
    void progress(qint64 sent, qint64 total);
    // The server is busy; the file goes again in `delayMs`.
    void waiting(int delayMs);
    void finished(const Attachment &file);
    void failed(const QString &reason);

private:
    bool send();
    void onFinished();

    QNetworkAccessManager *network;
    QPointer<QNetworkReply> reply;
    QTimer again;
    QNetworkRequest request;
    QString path;
};

// Where a file is uploaded to.
QUrl uploadUrl(const QString &baseUrl, const QString &chatId, const QString &name);
// What the user reads when the server refuses an upload with this HTTP status.
QString uploadRefusal(int httpStatus);
// How long to wait before asking again, from a "Retry-After" header's value.
int retryDelayMs(const QByteArray &retryAfter);
// The refusal of a file over the server's limit, before any of it is sent.
QString tooLargeRefusal(const QString &name, qint64 limit);
