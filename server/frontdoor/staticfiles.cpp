#include "staticfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QLocale>
#include <QStringList>

namespace staticfiles
{

namespace
{

    const QByteArray prefix = QByteArrayLiteral("/static/");
    // Avatars are small; a larger file in the folder is a mistake better not streamed from memory.
    constexpr qint64 maxFileBytes = 16 * 1024 * 1024;

    QByteArray reasonPhrase(int status)
    {
        switch (status) {
        case 200:
            return "OK";
        case 201:
            return "Created";
        case 206:
            return "Partial Content";
        case 304:
            return "Not Modified";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 411:
            return "Length Required";
        case 413:
            return "Payload Too Large";
        case 416:
            return "Range Not Satisfiable";
        case 429:
            return "Too Many Requests";
        case 500:
            return "Internal Server Error";
        case 431:
            return "Request Header Fields Too Large";
        case 503:
            return "Service Unavailable";
        default:
            return "Error";
        }
    }

} // namespace

QByteArray head(int status, const QByteArray &type, qint64 length, const QByteArray &extra)
{
    QByteArray bytes = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status)
        + "\r\nContent-Type: " + type + "\r\nContent-Length: " + QByteArray::number(length)
        + "\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n" + extra;
    if (status == 405 && !extra.contains("Allow:"))
        bytes += "Allow: GET, HEAD\r\n";
    return bytes + "\r\n";
}

QString resolve(const QByteArray &target, const QString &root)
{
    if (!target.startsWith(prefix))
        return QString();
    QByteArray raw = target.mid(prefix.size());
    const int query = raw.indexOf('?');
    if (query >= 0)
        raw.truncate(query);
    const QByteArray decoded = QByteArray::fromPercentEncoding(raw);
    if (decoded.isEmpty() || decoded.contains('\0') || decoded.contains('\\'))
        return QString();
    const QString relative = QString::fromUtf8(decoded);
    const QStringList segments = relative.split(QLatin1Char('/'));
    for (const QString &segment : segments) {
        if (segment.isEmpty() || segment.startsWith(QLatin1Char('.')))
            return QString();
    }
    const QString canonicalRoot = QFileInfo(root).canonicalFilePath();
    if (canonicalRoot.isEmpty())
        return QString();
    const QFileInfo file(QDir(canonicalRoot).filePath(relative));
    const QString canonical = file.canonicalFilePath();
    // Symbolic links inside the folder must not lead out of it either.
    if (canonical.isEmpty() || !canonical.startsWith(canonicalRoot + QLatin1Char('/'))
        || !QFileInfo(canonical).isFile())
        return QString();
    return canonical;
}

QByteArray contentType(const QString &fileName)
{
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    if (suffix == QLatin1String("png"))
        return "image/png";
    if (suffix == QLatin1String("jpg") || suffix == QLatin1String("jpeg"))
        return "image/jpeg";
    if (suffix == QLatin1String("gif"))
        return "image/gif";
    if (suffix == QLatin1String("webp"))
        return "image/webp";
    if (suffix == QLatin1String("bmp"))
        return "image/bmp";
    if (suffix == QLatin1String("ico"))
        return "image/x-icon";
    if (suffix == QLatin1String("svg"))
        return "image/svg+xml";
    if (suffix == QLatin1String("txt"))
        return "text/plain; charset=utf-8";
    return "application/octet-stream";
}

QByteArray entityTag(const QFileInfo &file)
{
    return '"' + QByteArray::number(file.size(), 16) + '-'
        + QByteArray::number(file.lastModified().toMSecsSinceEpoch(), 16) + '"';
}

QByteArray httpDate(const QDateTime &time)
{
    return QLocale::c()
        .toString(time.toUTC(), QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'"))
        .toLatin1();
}

QDateTime parseHttpDate(const QByteArray &text)
{
    QDateTime time = QLocale::c().toDateTime(
        QString::fromLatin1(text.trimmed()), QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'"));
    time.setTimeSpec(Qt::UTC);
    return time;
}

QByteArray headerValue(const QByteArray &requestHead, const QByteArray &name)
{
    const QByteArray wanted = name.toLower() + ':';
    const QList<QByteArray> lines = requestHead.split('\n');
    for (int i = 1; i < lines.size(); ++i) {
        if (lines.at(i).toLower().startsWith(wanted))
            return lines.at(i).mid(wanted.size()).trimmed();
    }
    return QByteArray();
}

bool notModified(const QByteArray &requestHead, const QByteArray &etag, const QDateTime &modified)
{
    const QByteArray match = headerValue(requestHead, "If-None-Match");
    if (!match.isEmpty()) {
        for (QByteArray tag : match.split(',')) {
            tag = tag.trimmed();
            if (tag.startsWith("W/"))
                tag = tag.mid(2);
            if (tag == "*" || tag == etag)
                return true;
        }
        return false;
    }
    const QDateTime since = parseHttpDate(headerValue(requestHead, "If-Modified-Since"));
    // HTTP dates have whole seconds.
    return since.isValid() && modified.toSecsSinceEpoch() <= since.toSecsSinceEpoch();
}

QByteArray response(int status, const QByteArray &type, const QByteArray &body)
{
    return head(status, type, body.size()) + body;
}

QByteArray errorResponse(int status, const QByteArray &extra)
{
    const QByteArray body = QByteArray::number(status) + ' ' + reasonPhrase(status) + '\n';
    return head(status, "text/plain; charset=utf-8", body.size(), extra) + body;
}

QByteArray respond(const QByteArray &requestHead, const QString &root, QString *bodyFile)
{
    const int lineEnd = requestHead.indexOf("\r\n");
    const QList<QByteArray> requestLine =
        (lineEnd >= 0 ? requestHead.left(lineEnd) : requestHead).split(' ');
    if (requestLine.size() != 3 || !requestLine.at(2).startsWith("HTTP/1."))
        return errorResponse(400);
    const QByteArray &method = requestLine.at(0);
    const bool headOnly = method == "HEAD";
    if (method != "GET" && !headOnly)
        return errorResponse(405);

    const QString path = resolve(requestLine.at(1), root);
    if (path.isEmpty())
        return errorResponse(404);
    QFile file(path);
    if (file.size() > maxFileBytes || !file.open(QIODevice::ReadOnly))
        return errorResponse(404);
    // Avatars change rarely; clients ask again with what they hold and get a bodiless answer.
    const QFileInfo info(path);
    const QByteArray etag = entityTag(info);
    const QByteArray validators =
        "ETag: " + etag + "\r\nLast-Modified: " + httpDate(info.lastModified()) + "\r\n";
    if (notModified(requestHead, etag, info.lastModified()))
        return head(304, contentType(path), 0, validators);
    const QByteArray response = head(200, contentType(path), file.size(), validators);
    if (headOnly)
        return response;
    if (bodyFile) {
        *bodyFile = path;
        return response;
    }
    return response + file.readAll();
}

QByteArray respond(const QByteArray &requestHead, const QString &root)
{
    return respond(requestHead, root, nullptr);
}

} // namespace staticfiles
