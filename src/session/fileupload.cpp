#include "fileupload.h"

#include "net/wireformat.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <algorithm>

namespace
{

// The answer is a small JSON object; a longer one is no answer of our server's.
constexpr qint64 maxAnswerBytes = 64 * 1024;
// A busy server that names no wait, or names a date, is asked again after a second; one that
// asks for longer than a minute is asked after a minute, so that the copy never seems stuck.
constexpr int defaultRetryDelayMs = 1000;
constexpr int maxRetryDelayMs = 60 * 1000;

} // namespace

QUrl uploadUrl(const QString &baseUrl, const QString &chatId, const QString &name)
{
    QUrl url(baseUrl + QStringLiteral("/upload"));
    // Fully encoded, so that "&", "+", "=" or "#" in a name stay part of it.
    url.setQuery(QStringLiteral("chatId=") + QString::fromLatin1(QUrl::toPercentEncoding(chatId))
            + QStringLiteral("&name=") + QString::fromLatin1(QUrl::toPercentEncoding(name)),
        QUrl::StrictMode);
    return url;
}

QString uploadRefusal(int httpStatus)
{
    switch (httpStatus) {
    case 401:
        return QStringLiteral("The server did not accept the login for uploads.");
    case 403:
        return QStringLiteral("The server does not take files for this chat.");
    case 413:
        return QStringLiteral("The file is over the server's size limit or your upload quota.");
    case 507:
        return QStringLiteral("The server has no room for the file.");
    default:
        return QStringLiteral("The server refused the file (HTTP %1).").arg(httpStatus);
    }
}

int retryDelayMs(const QByteArray &retryAfter)
{
    bool ok = false;
    const qint64 seconds = retryAfter.trimmed().toLongLong(&ok);
    if (!ok || seconds < 0)
        return defaultRetryDelayMs;
    return int(std::clamp<qint64>(seconds * 1000, defaultRetryDelayMs, maxRetryDelayMs));
}

QString tooLargeRefusal(const QString &name, qint64 limit)
{
    return QStringLiteral("%1 is larger than the server takes (at most %2).")
        .arg(name, formattedSize(limit));
}

FileUpload::FileUpload(QNetworkAccessManager *network, QObject *parent)
    : QObject(parent)
    , network(network)
{
    again.setSingleShot(true);
    connect(&again, &QTimer::timeout, this, [this] {
        if (!send())
            emit failed(QStringLiteral("The file could not be read."));
    });
}

FileUpload::~FileUpload()
{
    abort();
}

bool FileUpload::start(const QString &baseUrl,
    const QString &httpToken,
    const QString &chatId,
    const QString &path,
    const QString &name)
{
    request = QNetworkRequest(uploadUrl(baseUrl, chatId, name));
    request.setRawHeader("Authorization", "Bearer " + httpToken.toUtf8());
    request.setHeader(
        QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/octet-stream"));
    request.setTransferTimeout(stallTimeoutMs);
    this->path = path;
    return send();
}

bool FileUpload::send()
{
    auto *file = new QFile(path, this);
    if (!file->open(QIODevice::ReadOnly)) {
        delete file;
        return false;
    }
    request.setHeader(QNetworkRequest::ContentLengthHeader, file->size());
    reply = network->post(request, file);
    file->setParent(reply);
    connect(reply, &QNetworkReply::uploadProgress, this, &FileUpload::progress);
    connect(reply, &QNetworkReply::finished, this, &FileUpload::onFinished);
    return true;
}

void FileUpload::abort()
{
    again.stop();
    if (!reply)
        return;
    QNetworkReply *stopped = reply;
    reply = nullptr;
    stopped->disconnect(this);
    stopped->abort();
    stopped->deleteLater();
}

void FileUpload::onFinished()
{
    QNetworkReply *done = reply;
    reply = nullptr;
    if (!done)
        return;
    done->deleteLater();
    const int status = done->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 201) {
        if (const std::optional<Attachment> file = wire::uploadedFile(done->read(maxAnswerBytes))) {
            emit finished(*file);
            return;
        }
        emit failed(QStringLiteral("The server's answer to the upload was not understood."));
        return;
    }
    if (status == 429 || status == 503) {
        const int delay = retryDelayMs(done->rawHeader("Retry-After"));
        again.start(delay);
        emit waiting(delay);
        return;
    }
    emit failed(status > 0 ? uploadRefusal(status) : done->errorString());
}
