#pragma once

#include <QHash>
#include <QObject>
#include <QPixmap>
#include <QSet>
#include <QSize>
#include <QString>
#include <QThreadPool>
#include <functional>
#include <list>

class FileDownloads;

// Thumbnails of the pictures in messages: fetched when a row on screen asks for one, decoded
// under the picture bounds, scaled for the screen, and kept on disk in a cache of bounded size
// whose least recently used files go first. Reading, decoding and writing run on threads of
// their own, so that a chat full of pictures never holds up the window.
class PictureCache : public QObject
{
    Q_OBJECT

public:
    // The disk cache never holds more than this.
    static constexpr qint64 defaultDiskBytes = 200 * 1024 * 1024;

    PictureCache(FileDownloads *downloads, const QString &folder, QObject *parent = nullptr);

    void setDiskLimit(qint64 bytes);
    qint64 diskBytes() const;
    // The thumbnail when it is in memory; otherwise it is loaded (from disk, else from the
    // server) and `ready` follows.
    QPixmap thumbnail(
        const QString &url, QSize logicalSize, qreal devicePixelRatio, const QString &httpToken);

signals:
    void ready(const QString &url);

private:
    struct Wanted {
        QSize pixels;
        qreal ratio = 1.0;
        QString httpToken;
        bool decoding = false;
    };

    void fetch(const QString &url);
    void store(const QString &url, const QByteArray &body);
    void keep(const QString &url, const QImage &image);
    QString fileFor(const QString &url) const;
    void trimDisk();
    // Runs `work` on the pool, then `done` on this object's thread.
    void run(std::function<void()> work, std::function<void()> done);

    FileDownloads *downloads;
    QString folder;
    qint64 limit = defaultDiskBytes;
    qint64 used = 0;
    // Thumbnails in memory, by URL, the most recently used last; bounded in count.
    QHash<QString, QPixmap> memory;
    std::list<QString> recent;
    // Asked for and not in memory yet: being read, fetched or decoded.
    QHash<QString, Wanted> wanted;
    QSet<QString> failedUrls;
    // Last, so that it is destroyed first: its destructor waits for the work in flight, whose
    // answers are queued to this object and dropped with it.
    QThreadPool pool;
};

// The size a picture of `size` takes in a message: at most 320 x 320 logical pixels, its shape
// kept, never larger than itself.
QSize thumbnailSize(QSize size);
