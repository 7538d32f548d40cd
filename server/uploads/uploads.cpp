#include "uploads.h"

#include "credentials.h"
#include "filestream.h"
#include "poolthreads.h"
#include "readers.h"
#include "serverlogging.h"
#include "staticfiles.h"
#include "uploadformat.h"
#include "uploadreceiver.h"
#include "writer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSslSocket>
#include <QTcpSocket>
#include <QUrlQuery>
#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// Unreferenced uploads removed per transaction, and stored files looked up per sweep: one
// transaction stays short, and the sweep holds no more than this many names.
constexpr int sweepBatch = 1000;
// Time enough for a client on a slow network to read an early answer and stop sending.
constexpr int lingerMs = 2000;
// A part file not written for this many stall timeouts belongs to no live upload: a live one is
// written at least once per stall timeout, and the rest allows for a slow shared disk and for
// servers sharing the folder whose clocks differ.
constexpr int stalePartStalls = 10;

// Upload ids are 128 bits in lower-case hex.
bool isUploadId(const char *name)
{
    int length = 0;
    for (; name[length]; ++length) {
        const char c = name[length];
        if (length == 32 || !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return length == 32;
}

// When a regular file was last written, in milliseconds since the epoch; nothing for anything
// else.
std::optional<qint64> modifiedMs(int folder, const char *name)
{
    struct stat info;
    if (::fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    return qint64(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1000000;
}

// Removes the part files of `dir` last written before `partsBefore` (left by a server that
// stopped mid-upload) and returns the first `limit` stored files' ids after `after`, in order.
QStringList scanFolder(const QString &dir, const QString &after, qint64 partsBefore, int limit)
{
    DIR *folder = ::opendir(QFile::encodeName(dir).constData());
    if (!folder)
        return {};
    const QByteArray from = after.toLatin1();
    std::set<QByteArray> ids;
    while (const dirent *entry = ::readdir(folder)) {
        const char *name = entry->d_name;
        if (std::strncmp(name, ".part-", 6) == 0 && isUploadId(name + 6)) {
            const std::optional<qint64> modified = modifiedMs(::dirfd(folder), name);
            if (modified && *modified < partsBefore)
                ::unlinkat(::dirfd(folder), name, 0);
        } else if (isUploadId(name) && from < name) {
            ids.insert(name);
            if (int(ids.size()) > limit)
                ids.erase(std::prev(ids.end()));
        }
    }
    ::closedir(folder);
    QStringList found;
    for (const QByteArray &id : ids)
        found.append(QString::fromLatin1(id));
    return found;
}

// The token of an "Authorization: Bearer TOKEN" header; empty without one.
QString bearerToken(const QByteArray &head)
{
    const QByteArray value = staticfiles::headerValue(head, "Authorization");
    if (value.size() < 8 || value.left(7).toLower() != "bearer ")
        return QString();
    return QString::fromLatin1(value.mid(7).trimmed());
}

QByteArray unauthorized()
{
    return staticfiles::errorResponse(401, "WWW-Authenticate: Bearer\r\n");
}

} // namespace

void answerAndClose(QTcpSocket *socket, const QByteArray &response)
{
    socket->readAll();
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
    QTimer::singleShot(lingerMs, socket, [socket] { socket->disconnectFromHost(); });
    socket->write(response);
    // Over TLS the end of sending is the TLS layer's; there the client reads up to the length.
    if (qobject_cast<QSslSocket *>(socket))
        return;
    const auto endSending = [socket] {
        if (socket->bytesToWrite() == 0 && socket->state() == QAbstractSocket::ConnectedState)
            ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
    };
    QObject::connect(socket, &QTcpSocket::bytesWritten, socket, endSending);
    socket->flush();
    endSending();
}

Uploads::Uploads(Writer &writer, Readers &readers, const Options &options, QObject *parent)
    : QObject(parent)
    , writer(writer)
    , readers(readers)
    , settings(options)
{
    disk.setMaxThreadCount(1);
    sweeper.setMaxThreadCount(1);
    startPoolThreads(disk);
    startPoolThreads(sweeper);
    sweepTimer.setInterval(settings.sweepIntervalMs);
    connect(&sweepTimer, &QTimer::timeout, this, &Uploads::sweep);
}

Uploads::~Uploads()
{
    sweeper.waitForDone();
    disk.waitForDone();
}

bool Uploads::start(QString *error)
{
    if (!QDir().mkpath(settings.dir)
        || ::chmod(QFile::encodeName(settings.dir).constData(), 0700) != 0) {
        *error = QStringLiteral("cannot create the upload folder ") + settings.dir;
        return false;
    }
    sweepTimer.start();
    // A server starting again clears what it left when it stopped, once the store is open.
    QTimer::singleShot(0, this, &Uploads::sweep);
    return true;
}

const Uploads::Options &Uploads::options() const
{
    return settings;
}

QString Uploads::filePath(const QString &uploadId) const
{
    return QDir(settings.dir).filePath(uploadId);
}

void Uploads::onDisk(std::function<void()> work, std::function<void()> done)
{
    run(disk, std::move(work), std::move(done));
}

void Uploads::run(QThreadPool &pool, std::function<void()> work, std::function<void()> done)
{
    pool.start([this, work = std::move(work), done = std::move(done)] {
        work();
        // Queued to this object, which outlives the pool: its destructor waits for the work.
        if (done)
            QMetaObject::invokeMethod(this, done, Qt::QueuedConnection);
    });
}

void Uploads::removeFiles(const QStringList &uploadIds)
{
    QStringList paths;
    for (const QString &id : uploadIds)
        paths.append(filePath(id));
    onDisk([paths] {
        for (const QString &path : paths)
            ::unlink(QFile::encodeName(path).constData());
    });
}

bool Uploads::route(QTcpSocket *socket, const QByteArray &path, const QByteArray &head)
{
    const QList<QByteArray> requestLine = head.left(head.indexOf("\r\n")).split(' ');
    const QByteArray method = requestLine.value(0);
    if (path == "/upload") {
        if (method != "POST") {
            answerAndClose(socket, staticfiles::errorResponse(405, "Allow: POST\r\n"));
            return true;
        }
        const QByteArray target = requestLine.value(1);
        const QUrlQuery query(QString::fromLatin1(target.mid(target.indexOf('?') + 1)));
        UploadReceiver::Request request;
        request.chatId = query.queryItemValue(QStringLiteral("chatId"), QUrl::FullyDecoded);
        const QString name = query.queryItemValue(QStringLiteral("name"), QUrl::FullyDecoded);
        request.name = uploadformat::safeName(name);
        request.token = bearerToken(head);
        const QByteArray length = staticfiles::headerValue(head, "Content-Length");
        bool numeric = false;
        request.length = length.toLongLong(&numeric);
        numeric = numeric && std::all_of(length.cbegin(), length.cend(), [](char c) {
            return c >= '0' && c <= '9';
        });
        request.expectContinue =
            staticfiles::headerValue(head, "Expect").toLower() == "100-continue";
        if (request.chatId.isEmpty() || name.isEmpty() || request.name.isEmpty())
            answerAndClose(socket, staticfiles::errorResponse(400));
        else if (request.token.isEmpty())
            answerAndClose(socket, unauthorized());
        else if (length.isEmpty() || !staticfiles::headerValue(head, "Transfer-Encoding").isEmpty())
            answerAndClose(socket, staticfiles::errorResponse(411));
        else if (!numeric)
            answerAndClose(socket, staticfiles::errorResponse(400));
        else if (request.length > settings.maxUploadSize)
            answerAndClose(socket, staticfiles::errorResponse(413));
        else
            (new UploadReceiver(*this, socket, request))->start();
        return true;
    }
    const auto named = uploadformat::parseUrl(requestLine.value(1));
    if (!named) {
        if (!path.startsWith("/static/upload/"))
            return false;
        answerAndClose(socket, staticfiles::errorResponse(404));
        return true;
    }
    if (method != "GET" && method != "HEAD")
        answerAndClose(socket, staticfiles::errorResponse(405));
    else
        download(socket, head, named->first, named->second);
    return true;
}

void Uploads::download(
    QTcpSocket *socket, const QByteArray &head, const QString &uploadId, const QString &name)
{
    const QString token = bearerToken(head);
    if (token.isEmpty()) {
        answerAndClose(socket, unauthorized());
        return;
    }
    struct Found {
        int status = 401;
        UploadRecord upload;
    };
    auto found = std::make_shared<Found>();
    const qint64 now = settings.clock() / 1000;
    readers.submit(
        [found, token, uploadId, name, now](Store &store) {
            const std::optional<QString> user =
                store.httpTokenUser(credentials::tokenHash(token), now);
            if (!user)
                return Outcome();
            const std::optional<UploadRecord> upload = store.upload(uploadId);
            if (!upload || upload->name != name)
                found->status = 404;
            else if (upload->userId != *user && !store.isMember(upload->chatId, *user))
                found->status = 403;
            else
                found->status = 200;
            if (upload)
                found->upload = *upload;
            return Outcome();
        },
        [this, found, head, socket = QPointer<QTcpSocket>(socket)](Outcome &&, quint64) {
            if (!socket)
                return;
            const UploadRecord &upload = found->upload;
            const QString path = filePath(upload.id);
            const QFileInfo info(path);
            if (found->status == 200 && !info.isFile())
                found->status = 404;
            if (found->status != 200) {
                answerAndClose(socket,
                    found->status == 401 ? unauthorized()
                                         : staticfiles::errorResponse(found->status));
                return;
            }
            // Never shown by a browser as a page of this server: pictures inline at most, and
            // the rest saved under its name.
            const QByteArray disposition =
                uploadformat::isInlinePicture(upload.mime) ? "inline" : "attachment";
            const QByteArray etag = '"' + upload.id.toLatin1() + '"';
            QByteArray headers = "ETag: " + etag
                + "\r\nAccept-Ranges: bytes\r\nCache-Control: private, max-age=86400\r\n"
                  "Content-Security-Policy: default-src 'none'; sandbox\r\n"
                  "Content-Disposition: "
                + disposition + "; filename*=UTF-8''" + QUrl::toPercentEncoding(upload.name)
                + "\r\n";
            const QByteArray type = upload.mime.toLatin1();
            if (staticfiles::notModified(head, etag, info.lastModified())) {
                answerAndClose(socket, staticfiles::head(304, type, 0, headers));
                return;
            }
            const qint64 size = info.size();
            const uploadformat::Range range =
                uploadformat::range(staticfiles::headerValue(head, "Range"), size);
            if (range.kind == uploadformat::Range::Kind::Unsatisfiable) {
                answerAndClose(socket,
                    staticfiles::errorResponse(
                        416, "Content-Range: bytes */" + QByteArray::number(size) + "\r\n"));
                return;
            }
            const bool partial = range.kind == uploadformat::Range::Kind::Partial;
            if (partial)
                headers += "Content-Range: bytes " + QByteArray::number(range.first) + '-'
                    + QByteArray::number(range.first + range.length - 1) + '/'
                    + QByteArray::number(size) + "\r\n";
            socket->write(staticfiles::head(partial ? 206 : 200, type, range.length, headers));
            if (head.startsWith("HEAD ")) {
                socket->disconnectFromHost();
                return;
            }
            new FileStream(socket, path, settings.writeTimeoutMs, range.first, range.length);
        });
}

void Uploads::sweep()
{
    sweepRecords();
    sweepFiles();
}

void Uploads::sweepRecords()
{
    auto removed = std::make_shared<QStringList>();
    const qint64 before = settings.clock() / 1000 - unreferencedLifetime;
    writer.submit(
        [removed, before](Store &store) {
            *removed = store.removeUnreferencedUploads({}, before, sweepBatch);
            Outcome outcome;
            outcome.wrote = !removed->isEmpty();
            return outcome;
        },
        Outcome::Reply(),
        [this, removed](Outcome &&, bool committed, quint64) {
            if (!committed || removed->isEmpty())
                return;
            qCInfo(lcServer) << "removing" << removed->size() << "unreferenced uploads";
            removeFiles(*removed);
            // More may be waiting: a backlog goes now rather than a batch per interval.
            if (removed->size() == sweepBatch)
                QTimer::singleShot(0, this, &Uploads::sweepRecords);
        });
}

// The record is removed before its file everywhere, so that no message ever refers to a missing
// file; a crash in between leaves a file without a record, which this finds.
void Uploads::sweepFiles()
{
    // A pass over a big folder may outlast the interval.
    if (sweepingFiles)
        return;
    sweepingFiles = true;
    const QString dir = settings.dir;
    const QString after = sweptUpTo;
    const qint64 partsBefore = settings.clock() - qint64(settings.stallTimeoutMs) * stalePartStalls;
    auto ids = std::make_shared<QStringList>();
    const auto finished = [this] { sweepingFiles = false; };
    run(
        sweeper,
        [ids, dir, after, partsBefore] { *ids = scanFolder(dir, after, partsBefore, sweepBatch); },
        [this, ids, dir, finished] {
            sweptUpTo = ids->size() < sweepBatch ? QString() : ids->constLast();
            if (ids->isEmpty()) {
                finished();
                return;
            }
            auto unrecorded = std::make_shared<std::optional<QStringList>>();
            readers.submit(
                [ids, unrecorded](Store &store) {
                    *unrecorded = store.unrecordedUploads(*ids);
                    return Outcome();
                },
                [this, unrecorded, dir, finished](Outcome &&, quint64) {
                    if (!*unrecorded) {
                        finished();
                        return;
                    }
                    // A file this young may be an upload on its way into the store, here or on
                    // another server.
                    const qint64 before = settings.clock() - unreferencedLifetime * 1000;
                    run(
                        sweeper,
                        [ids = **unrecorded, dir, before] {
                            int removed = 0;
                            for (const QString &id : ids) {
                                const QByteArray path =
                                    QFile::encodeName(dir + QLatin1Char('/') + id);
                                const std::optional<qint64> modified =
                                    modifiedMs(AT_FDCWD, path.constData());
                                if (modified && *modified < before)
                                    removed += ::unlink(path.constData()) == 0 ? 1 : 0;
                            }
                            if (removed > 0)
                                qCInfo(lcServer)
                                    << "removed" << removed << "files without a record";
                        },
                        finished);
                });
        });
}
