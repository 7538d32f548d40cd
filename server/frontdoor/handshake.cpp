#include "handshake.h"

#include "staticfiles.h"

#include <QList>

namespace handshake
{

namespace
{

    // The values of header `name` (lower case), joined by commas as repeated headers are.
    QByteArray header(const QList<QByteArray> &lines, const QByteArray &name)
    {
        QByteArray value;
        for (const QByteArray &line : lines) {
            const int colon = line.indexOf(':');
            if (colon <= 0 || line.left(colon).trimmed().toLower() != name)
                continue;
            if (!value.isEmpty())
                value += ',';
            value += line.mid(colon + 1).trimmed();
        }
        return value;
    }

    bool hasToken(const QByteArray &value, const QByteArray &token)
    {
        const QList<QByteArray> tokens = value.split(',');
        for (const QByteArray &candidate : tokens) {
            if (candidate.trimmed().toLower() == token)
                return true;
        }
        return false;
    }

    bool isKey(const QByteArray &key)
    {
        // 16 bytes are 24 characters of base64 ending in "==".
        if (key.size() != 24 || !key.endsWith("=="))
            return false;
        const auto decoded =
            QByteArray::fromBase64Encoding(key, QByteArray::AbortOnBase64DecodingErrors);
        return decoded.decodingStatus == QByteArray::Base64DecodingStatus::Ok
            && decoded.decoded.size() == 16;
    }

} // namespace

int check(const QByteArray &requestHead)
{
    const QList<QByteArray> lines = requestHead.split('\n');
    if (lines.isEmpty())
        return 400;
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    if (requestLine.size() != 3 || requestLine.at(0) != "GET" || requestLine.at(2) != "HTTP/1.1")
        return 400;
    const QList<QByteArray> headers = lines.mid(1);
    if (!hasToken(header(headers, "upgrade"), "websocket")
        || !hasToken(header(headers, "connection"), "upgrade")
        || !isKey(header(headers, "sec-websocket-key")))
        return 400;
    const QByteArray version = header(headers, "sec-websocket-version");
    if (version.isEmpty())
        return 400;
    return version == "13" ? 0 : 426;
}

QByteArray refusal(int status)
{
    if (status != 426)
        return staticfiles::errorResponse(status);
    const QByteArray body = "426 Upgrade Required\n";
    return "HTTP/1.1 426 Upgrade Required\r\nSec-WebSocket-Version: 13\r\n"
           "Content-Type: text/plain; charset=utf-8\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

} // namespace handshake
