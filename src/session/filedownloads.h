#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QUrl>

class QFile;
class QNetworkAccessManager;
class QNetworkReply;

// Files of messages coming down from the server with the user's HTTP token: saved into a folder
// (never over a file already there), or fetched into memory up to a bound (pictures to show).
// Each transfer has a key of the caller's choosing; a key in use is not started twice.
class FileDownloads : public QObject
{
    Q_OBJECT

public:
    // A transfer that moves no byte for this long is given up.
    static constexpr int stallTimeoutMs = 60 * 1000;

    explicit FileDownloads(QNetworkAccessManager *network, QObject *parent = nullptr);
    ~FileDownloads() override;

    bool isActive(const QString &key) const;
    // Saves the file at `url` into `folder` as `name` made safe, or "name (1)", "name (2)"...
    void save(const QString &key,
        const QUrl &url,
        const QString &httpToken,
        const QString &folder,
        const QString &name);
    // Fetches at most `maxBytes`; a longer body fails without being read further.
    void fetch(const QString &key, const QUrl &url, const QString &httpToken, qint64 maxBytes);
    // Stops a transfer; a partly saved file is removed; nothing more is said of it.
    void cancel(const QString &key);

signals:
    void progress(const QString &key, qint64 received, qint64 total);
    void saved(const QString &key, const QString &path);
    void fetched(const QString &key, const QByteArray &body);
    void failed(const QString &key, const QString &reason);

private:
    struct Transfer {
        QNetworkReply *reply = nullptr;
        // Saving: the file written; fetching: none, the body gathers in `body`.
        QFile *file = nullptr;
        QByteArray body;
        qint64 maxBytes = 0;
    };

    QNetworkReply *get(const QString &key, const QUrl &url, const QString &httpToken);
    void onReadyRead(const QString &key);
    void onFinished(const QString &key);
    void fail(const QString &key, const QString &reason);
    void drop(const QString &key, bool removeFile);

    QNetworkAccessManager *network;
    QHash<QString, Transfer> transfers;
};

// A name from the server as a file name here: no folders, no control characters, not hidden,
// never empty.
QString safeFileName(const QString &name);
// Creates and opens, for writing, the first of "name.ext", "name (1).ext", "name (2).ext"...
// that does not exist in `folder`; the file is taken atomically, so nothing is ever overwritten.
// Returns null when none could be created.
QFile *createUniqueFile(const QString &folder, const QString &name, QObject *parent);
