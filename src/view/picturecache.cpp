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
#include <QThread>
#include <algorithm>
#include <memory>

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
    // One core stays with the window.
    pool.setMaxThreadCount(std::max(1, QThread::idealThreadCount() - 1));
    QDir().mkpath(folder);
    for (const QFileInfo &file : QDir(folder).entryInfoList(QDir::Files))
        used += file.size();
    connect(downloads,
        &FileDownloads::fetched,
        this,
        [this](const QString &key, const QByteArray &body) { store(key, body); });
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

void PictureCache::run(std::function<void()> work, std::function<void()> done)
{
    pool.start([this, work = std::move(work), done = std::move(done)] {
        work();
        QMetaObject::invokeMethod(this, done, Qt::QueuedConnection);
    });
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
    wanted.insert(url, Wanted { pixels, devicePixelRatio, httpToken });
    auto image = std::make_shared<QImage>();
    run(
        [image, pixels, path = fileFor(url)] {
            QFile cached(path);
            if (!cached.open(QIODevice::ReadWrite) || !image->load(&cached, "PNG")
                || image->size() != pixels) {
                *image = QImage();
                return;
            }
            // Read now: the last to be evicted.
            cached.setFileTime(QDateTime::currentDateTimeUtc(), QFileDevice::FileModificationTime);
        },
        [this, image, url] {
            if (!image->isNull())
                keep(url, *image);
            else
                fetch(url);
        });
    return QPixmap();
}

void PictureCache::fetch(const QString &url)
{
    const auto want = wanted.constFind(url);
    if (want == wanted.constEnd())
        return;
    const QString address = url.startsWith(QLatin1Char('/')) ? apiBaseUrl() + url : url;
    downloads->fetch(
        url, QUrl(address), want->httpToken, avatar::messagePictureLimits.maxBodyBytes);
}

void PictureCache::store(const QString &url, const QByteArray &body)
{
    const auto want = wanted.find(url);
    if (want == wanted.end() || want->decoding)
        return;
    want->decoding = true;
    struct Result {
        QImage image;
        qint64 bytesBefore = 0;
        qint64 bytesAfter = 0;
    };
    auto result = std::make_shared<Result>();
    run(
        [result, body, pixels = want->pixels, path = fileFor(url)] {
            const std::optional<QImage> picture =
                avatar::decodePicture(body, avatar::messagePictureLimits, pixels);
            if (!picture)
                return;
            result->image = picture->size() == pixels
                ? *picture
                : picture->scaled(pixels, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            result->bytesBefore = QFileInfo(path).size();
            // Thumbnails are read back far more often than written: quick compression (a
            // quality of 80 is zlib level 1) costs a fraction of the default for a little
            // more disk.
            if (result->image.save(path, "PNG", 80))
                result->bytesAfter = QFileInfo(path).size();
        },
        [this, result, url] {
            used += result->bytesAfter - result->bytesBefore;
            if (result->image.isNull()) {
                wanted.remove(url);
                failedUrls.insert(url);
                return;
            }
            keep(url, result->image);
            trimDisk();
        });
}

void PictureCache::keep(const QString &url, const QImage &image)
{
    const auto want = wanted.constFind(url);
    const qreal ratio = want != wanted.constEnd() ? want->ratio : 1.0;
    wanted.remove(url);
    QPixmap pixmap = QPixmap::fromImage(image);
    pixmap.setDevicePixelRatio(ratio);
    memory.insert(url, pixmap);
    recent.remove(url);
    recent.push_back(url);
    while (recent.size() > maxInMemory) {
        memory.remove(recent.front());
        recent.pop_front();
    }
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
