#include "filedownloads.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace
{

// Past this many names taken, something else is wrong with the folder.
constexpr int maxNumberedNames = 10000;

} // namespace

QString safeFileName(const QString &name)
{
    QString safe;
    safe.reserve(name.size());
    for (const QChar c : name) {
        if (c.category() == QChar::Other_Control || c == QLatin1Char('/') || c == QLatin1Char('\\')
            || c == QLatin1Char(':'))
            safe.append(QLatin1Char('_'));
        else
            safe.append(c);
    }
    safe = safe.trimmed();
    // A leading dot would hide the file, and "." or ".." are no file at all.
    while (safe.startsWith(QLatin1Char('.')))
        safe.remove(0, 1);
    return safe.isEmpty() ? QStringLiteral("download") : safe;
}

QFile *createUniqueFile(const QString &folder, const QString &name, QObject *parent)
{
    const QString safe = safeFileName(name);
    const QFileInfo info(safe);
    // "archive.tar.gz" becomes "archive (1).tar.gz"; a name without a dot gets the number last.
    const QString base = info.baseName();
    const QString suffix =
        info.completeSuffix().isEmpty() ? QString() : QLatin1Char('.') + info.completeSuffix();
    const QDir dir(folder);
    for (int number = 0; number <= maxNumberedNames; ++number) {
        const QString candidate = number == 0
            ? base + suffix
            : QStringLiteral("%1 (%2)%3").arg(base).arg(number).arg(suffix);
        auto *file = new QFile(dir.filePath(candidate), parent);
        if (file->open(QIODevice::WriteOnly | QIODevice::NewOnly))
            return file;
        const bool taken = file->exists();
        delete file;
        if (!taken)
            return nullptr;
    }
    return nullptr;
}

FileDownloads::FileDownloads(QNetworkAccessManager *network, QObject *parent)
    : QObject(parent)
    , network(network)
{
}

FileDownloads::~FileDownloads()
{
    for (const QString &key : transfers.keys())
        drop(key, true);
}

bool FileDownloads::isActive(const QString &key) const
{
    return transfers.contains(key);
}

QNetworkReply *FileDownloads::get(const QString &key, const QUrl &url, const QString &httpToken)
{
    QNetworkRequest request(url);
    request.setRawHeader("Authorization", "Bearer " + httpToken.toUtf8());
    request.setTransferTimeout(stallTimeoutMs);
    // The token goes to our server only, never to where a redirect points.
    request.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply *reply = network->get(request);
    connect(reply, &QNetworkReply::readyRead, this, [this, key] { onReadyRead(key); });
    connect(reply, &QNetworkReply::finished, this, [this, key] { onFinished(key); });
    connect(
        reply, &QNetworkReply::downloadProgress, this, [this, key](qint64 received, qint64 total) {
            emit progress(key, received, total);
        });
    return reply;
}

void FileDownloads::save(const QString &key,
    const QUrl &url,
    const QString &httpToken,
    const QString &folder,
    const QString &name)
{
    if (transfers.contains(key))
        return;
    QDir().mkpath(folder);
    QFile *file = createUniqueFile(folder, name, this);
    if (!file) {
        emit failed(key,
            QStringLiteral("No file could be created in %1.")
                .arg(QDir::toNativeSeparators(folder)));
        return;
    }
    Transfer transfer;
    transfer.file = file;
    transfers.insert(key, transfer);
    transfers[key].reply = get(key, url, httpToken);
}

void FileDownloads::fetch(
    const QString &key, const QUrl &url, const QString &httpToken, qint64 maxBytes)
{
    if (transfers.contains(key))
        return;
    Transfer transfer;
    transfer.maxBytes = maxBytes;
    transfers.insert(key, transfer);
    transfers[key].reply = get(key, url, httpToken);
}

void FileDownloads::cancel(const QString &key)
{
    drop(key, true);
}

void FileDownloads::onReadyRead(const QString &key)
{
    const auto found = transfers.find(key);
    if (found == transfers.end())
        return;
    QNetworkReply *reply = found->reply;
    if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() / 100 != 2)
        return;
    if (found->file) {
        const QByteArray chunk = reply->readAll();
        if (found->file->write(chunk) != chunk.size())
            fail(key,
                QStringLiteral("The file could not be written: %1")
                    .arg(found->file->errorString()));
        return;
    }
    if (found->body.size() + reply->bytesAvailable() > found->maxBytes) {
        fail(key, QStringLiteral("The file is larger than can be shown."));
        return;
    }
    found->body += reply->readAll();
}

void FileDownloads::onFinished(const QString &key)
{
    const auto found = transfers.find(key);
    if (found == transfers.end())
        return;
    QNetworkReply *reply = found->reply;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->error() != QNetworkReply::NoError || status / 100 != 2) {
        fail(key,
            status == 404       ? QStringLiteral("The file is no longer on the server.")
                : status == 403 ? QStringLiteral("The server does not let you have this file.")
                : status > 0 ? QStringLiteral("The server refused the file (HTTP %1).").arg(status)
                             : reply->errorString());
        return;
    }
    onReadyRead(key);
    const auto done = transfers.find(key);
    if (done == transfers.end())
        return;
    if (done->file) {
        done->file->close();
        const QString path = done->file->fileName();
        drop(key, false);
        emit saved(key, path);
        return;
    }
    const QByteArray body = done->body;
    drop(key, false);
    emit fetched(key, body);
}

void FileDownloads::fail(const QString &key, const QString &reason)
{
    drop(key, true);
    emit failed(key, reason);
}

void FileDownloads::drop(const QString &key, bool removeFile)
{
    const Transfer transfer = transfers.take(key);
    if (transfer.reply) {
        transfer.reply->disconnect(this);
        transfer.reply->abort();
        transfer.reply->deleteLater();
    }
    if (transfer.file) {
        transfer.file->close();
        if (removeFile)
            transfer.file->remove();
        delete transfer.file;
    }
}
