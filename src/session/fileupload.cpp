#include "fileupload.h"

#include "net/wireformat.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace
{

// The answer is a small JSON object; a longer one is no answer of our server's.
constexpr qint64 maxAnswerBytes = 64 * 1024;

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
        return QStringLiteral("The file is larger than the server takes.");
    case 507:
        return QStringLiteral("The server has no room for the file.");
    default:
        return QStringLiteral("The server refused the file (HTTP %1).").arg(httpStatus);
    }
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
    auto *file = new QFile(path, this);
    if (!file->open(QIODevice::ReadOnly)) {
        delete file;
        return false;
    }
    QNetworkRequest request(uploadUrl(baseUrl, chatId, name));
    request.setRawHeader("Authorization", "Bearer " + httpToken.toUtf8());
    request.setHeader(
        QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/octet-stream"));
    request.setHeader(QNetworkRequest::ContentLengthHeader, file->size());
    request.setTransferTimeout(stallTimeoutMs);
    reply = network->post(request, file);
    file->setParent(reply);
    connect(reply, &QNetworkReply::uploadProgress, this, &FileUpload::progress);
    connect(reply, &QNetworkReply::finished, this, &FileUpload::onFinished);
    return true;
}

void FileUpload::abort()
{
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
    emit failed(status > 0 ? uploadRefusal(status) : done->errorString());
}
