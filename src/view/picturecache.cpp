#include "picturecache.h"

#include "net/serveraddress.h"
#include "session/filedownloads.h"
#include "view/avatarimage.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <algorithm>

namespace
{

constexpr int maxThumbnailSide = 320;
// Thumbnails kept in memory: a few screens of a busy chat.
constexpr int maxInMemory = 300;

} // namespace

QSize thumbnailSize(QSize size)
{
    if (size.width() < 1 || size.height() < 1)
        return QSize();
    if (size.width() <= maxThumbnailSide && size.height() <= maxThumbnailSide)
        return size;
    return size.scaled(maxThumbnailSide, maxThumbnailSide, Qt::KeepAspectRatio)
        .expandedTo(QSize(1, 1));
}

PictureCache::PictureCache(FileDownloads *downloads, const QString &folder, QObject *parent)
    : QObject(parent)
    , downloads(downloads)
    , folder(folder)
{
    QDir().mkpath(folder);
    for (const QFileInfo &file : QDir(folder).entryInfoList(QDir::Files))
        used += file.size();
    connect(downloads,
        &FileDownloads::fetched,
        this,
        [this](const QString &key, const QByteArray &body) {
            if (wanted.contains(key))
                store(key, body);
        });
    connect(downloads, &FileDownloads::failed, this, [this](const QString &key, const QString &) {
        // Not asked for again in this session: a row repainting must not fetch it in a loop.
        if (wanted.remove(key) > 0)
            failedUrls.insert(key);
    });
}

void PictureCache::setDiskLimit(qint64 bytes)
{
    limit = bytes;
    trimDisk();
}

qint64 PictureCache::diskBytes() const
{
    return used;
}

QString PictureCache::fileFor(const QString &url) const
{
    return folder + QLatin1Char('/')
        + QString::fromLatin1(
            QCryptographicHash::hash(url.toUtf8(), QCryptographicHash::Md5).toHex())
        + QStringLiteral(".png");
}

QPixmap PictureCache::thumbnail(
    const QString &url, QSize logicalSize, qreal devicePixelRatio, const QString &httpToken)
{
    const auto inMemory = memory.constFind(url);
    if (inMemory != memory.constEnd()) {
        recent.remove(url);
        recent.push_back(url);
        return *inMemory;
    }
    if (wanted.contains(url) || failedUrls.contains(url))
        return QPixmap();
    const QSize pixels = logicalSize * devicePixelRatio;
    QFile cached(fileFor(url));
    if (cached.open(QIODevice::ReadWrite)) {
        QImage image;
        if (image.load(&cached, "PNG") && image.size() == pixels) {
            // Read now: the last to be evicted.
            cached.setFileTime(QDateTime::currentDateTimeUtc(), QFileDevice::FileModificationTime);
            QPixmap pixmap = QPixmap::fromImage(image);
            pixmap.setDevicePixelRatio(devicePixelRatio);
            memory.insert(url, pixmap);
            recent.push_back(url);
            return pixmap;
        }
    }
    wanted.insert(url, Wanted { pixels, devicePixelRatio });
    const QString address = url.startsWith(QLatin1Char('/')) ? apiBaseUrl() + url : url;
    downloads->fetch(url, QUrl(address), httpToken, avatar::messagePictureLimits.maxBodyBytes);
    return QPixmap();
}

void PictureCache::store(const QString &url, const QByteArray &body)
{
    const Wanted want = wanted.take(url);
    const std::optional<QImage> picture =
        avatar::decodePicture(body, avatar::messagePictureLimits, want.pixels);
    if (!picture) {
        failedUrls.insert(url);
        return;
    }
    const QImage scaled = picture->size() == want.pixels
        ? *picture
        : picture->scaled(want.pixels, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QPixmap pixmap = QPixmap::fromImage(scaled);
    pixmap.setDevicePixelRatio(want.ratio);
    memory.insert(url, pixmap);
    recent.push_back(url);
    while (recent.size() > maxInMemory) {
        memory.remove(recent.front());
        recent.pop_front();
    }
    const QString path = fileFor(url);
    used -= QFileInfo(path).size();
    if (scaled.save(path, "PNG"))
        used += QFileInfo(path).size();
    trimDisk();
    emit ready(url);
}

void PictureCache::trimDisk()
{
    if (used <= limit)
        return;
    QFileInfoList files = QDir(folder).entryInfoList(QDir::Files, QDir::Time | QDir::Reversed);
    used = 0;
    for (const QFileInfo &file : files)
        used += file.size();
    // Oldest first: the least recently written or read.
    for (const QFileInfo &file : files) {
        if (used <= limit)
            break;
        if (QFile::remove(file.filePath()))
            used -= file.size();
    }
}
