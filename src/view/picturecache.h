#pragma once

#include <QHash>
#include <QObject>
#include <QPixmap>
#include <QSet>
#include <QSize>
#include <QString>
#include <list>

class FileDownloads;

// Thumbnails of the pictures in messages: fetched when a row on screen asks for one, decoded
// under the picture bounds, scaled for the screen, and kept on disk in a cache of bounded size
// whose least recently used files go first.
class PictureCache : public QObject
{
    Q_OBJECT

public:
    // The disk cache never holds more than this.
    static constexpr qint64 defaultDiskBytes = 200 * 1024 * 1024;

    PictureCache(FileDownloads *downloads, const QString &folder, QObject *parent = nullptr);

    void setDiskLimit(qint64 bytes);
    qint64 diskBytes() const;
    // The thumbnail when it is at hand; otherwise it is loaded (from disk at once, else from the
    // server) and `ready` follows.
    QPixmap thumbnail(
        const QString &url, QSize logicalSize, qreal devicePixelRatio, const QString &httpToken);

signals:
    void ready(const QString &url);

private:
    void store(const QString &url, const QByteArray &body);
    QString fileFor(const QString &url) const;
    void trimDisk();

    FileDownloads *downloads;
    QString folder;
    qint64 limit = defaultDiskBytes;
    qint64 used = 0;
    // Thumbnails in memory, by URL, the most recently used last; bounded in count.
    QHash<QString, QPixmap> memory;
    std::list<QString> recent;
    struct Wanted {
        QSize pixels;
        qreal ratio = 1.0;
    };
    QHash<QString, Wanted> wanted;
    QSet<QString> failedUrls;
};

// The size a picture of `size` takes in a message: at most 320 x 320 logical pixels, its shape
// kept, never larger than itself.
QSize thumbnailSize(QSize size);
