#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <QTimer>
#include <functional>

class QTcpSocket;
class Readers;
class Writer;

// Files sent in chats, over HTTP on the server's one port. "POST /upload" streams a body into
// the upload folder and records it in the store, so that every server sharing the store and the
// folder serves it; "GET /static/upload/ID/NAME" serves it to the members of its chat. Both take
// an HTTP token. The socket thread only moves bytes: file writes, renames and removals run on a
// disk thread of their own, the checks of tokens and chats on a reader, the records on the
// writer. Uploads that no message refers to are swept out after a day, and so are the files a
// crash left behind: part files nobody writes any more, and stored files whose record is gone.
class Uploads : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 defaultMaxUploadSize = 100 * 1024 * 1024;
    // An upload that no message has taken up within this many seconds is removed.
    static constexpr qint64 unreferencedLifetime = 24 * 3600;

    struct Options {
        // Created 0700 where missing; several servers may share it on a shared file system.
        QString dir;
        qint64 maxUploadSize = defaultMaxUploadSize;
        // Bytes of uploads kept per user; 0 for no quota.
        qint64 quota = 0;
        // Milliseconds since the epoch.
        std::function<qint64()> clock;
        // A body that makes no progress this long is cut off, its part removed.
        int stallTimeoutMs = 30000;
        // A download whose client takes nothing this long is cut off.
        int writeTimeoutMs = 30000;
        // How often unreferenced uploads are looked for: a day's expiry needs no finer grain.
        int sweepIntervalMs = 10 * 60 * 1000;
        // Uploads of one user under way at once; a client sends a few files side by side, and
        // more would only hold descriptors and disk bandwidth.
        int maxParallelPerUser = 8;
    };

    Uploads(Writer &writer, Readers &readers, const Options &options, QObject *parent = nullptr);
    // Waits for the disk work handed out.
    ~Uploads() override;

    // Creates the folder; false, with the reason, when it cannot.
    bool start(QString *error);
    // Takes a request (its head, read off `socket`) whose path is one of ours; false for others.
    bool route(QTcpSocket *socket, const QByteArray &path, const QByteArray &head);
    // Deletes the files of uploads whose records are gone.
    void removeFiles(const QStringList &uploadIds);

    const Options &options() const;
    QString filePath(const QString &uploadId) const;
    Writer &writer;
    Readers &readers;

    // Runs `work` on the disk thread, then `done` (when given) on this object's thread. Work
    // runs in the order it is handed in.
    void onDisk(std::function<void()> work, std::function<void()> done = {});
    // Uploads of one user under way: how many, and the bytes their heads announced, which count
    // against the quota before their bodies are read.
    struct InProgress {
        int count = 0;
        qint64 bytes = 0;
    };
    QHash<QString, InProgress> active;

private:
    void download(
        QTcpSocket *socket, const QByteArray &head, const QString &uploadId, const QString &name);
    void run(QThreadPool &pool, std::function<void()> work, std::function<void()> done);
    void sweep();
    void sweepRecords();
    void sweepFiles();

    Options settings;
    QThreadPool disk;
    // Reads the folder for the file sweep, which may take long on a big shared folder: apart
    // from the disk thread, so that bodies keep being written meanwhile.
    QThreadPool sweeper;
    QTimer sweepTimer;
    bool sweepingFiles = false;
    // The file sweep looks at the stored files in order of their ids, a batch at a time; the
    // next sweep goes on after this one.
    QString sweptUpTo;
};
