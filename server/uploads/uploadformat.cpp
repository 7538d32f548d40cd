#include "uploadformat.h"

#include <QTextCodec>
#include <QUrl>
#include <QVector>
#include <algorithm>

namespace uploadformat
{

namespace
{

    const QByteArray urlPrefix = QByteArrayLiteral("/static/upload/");

    quint32 bigEndian(const QByteArray &bytes, int at, int count)
    {
        quint32 value = 0;
        for (int i = 0; i < count; ++i)
            value = (value << 8) | quint8(bytes.at(at + i));
        return value;
    }

    quint32 littleEndian(const QByteArray &bytes, int at, int count)
    {
        quint32 value = 0;
        for (int i = count - 1; i >= 0; --i)
            value = (value << 8) | quint8(bytes.at(at + i));
        return value;
    }

    Sniffed picture(const char *mime, qint64 width, qint64 height)
    {
        // A size no header can honestly claim is left unknown rather than passed on wrapped.
        if (width <= 0 || height <= 0 || width > 1 << 30 || height > 1 << 30)
            return { QString::fromLatin1(mime), 0, 0 };
        return { QString::fromLatin1(mime), int(width), int(height) };
    }

    // Walks the segments up to the first frame header, which holds the size.
    Sniffed jpeg(const QByteArray &head)
    {
        int at = 2;
        while (at + 4 <= head.size()) {
            if (quint8(head.at(at)) != 0xff)
                break;
            const quint8 marker = quint8(head.at(at + 1));
            if (marker == 0xff) {
                ++at;
                continue;
            }
            if (marker == 0x01 || (marker >= 0xd0 && marker <= 0xd8)) {
                at += 2;
                continue;
            }
            if (marker == 0xd9 || marker == 0xda)
                break;
            const int length = int(bigEndian(head, at + 2, 2));
            const bool frame = marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8
                && marker != 0xcc;
            if (frame && at + 9 <= head.size())
                return picture(
                    "image/jpeg", bigEndian(head, at + 7, 2), bigEndian(head, at + 5, 2));
            if (length < 2)
                break;
            at += 2 + length;
        }
        return { QStringLiteral("image/jpeg"), 0, 0 };
    }

    Sniffed webp(const QByteArray &head)
    {
        const QByteArray chunk = head.mid(12, 4);
        if (chunk == "VP8 " && head.size() >= 30)
            return picture("image/webp",
                littleEndian(head, 26, 2) & 0x3fff,
                littleEndian(head, 28, 2) & 0x3fff);
        if (chunk == "VP8L" && head.size() >= 25) {
            const quint32 bits = littleEndian(head, 21, 4);
            return picture("image/webp", (bits & 0x3fff) + 1, ((bits >> 14) & 0x3fff) + 1);
        }
        if (chunk == "VP8X" && head.size() >= 30)
            return picture(
                "image/webp", littleEndian(head, 24, 3) + 1, littleEndian(head, 27, 3) + 1);
        return { QStringLiteral("image/webp"), 0, 0 };
    }

    bool isText(const QByteArray &head)
    {
        QTextCodec::ConverterState state;
        const QString text =
            QTextCodec::codecForName("UTF-8")->toUnicode(head.constData(), head.size(), &state);
        if (state.invalidChars > 0)
            return false;
        return std::none_of(text.cbegin(), text.cend(), [](QChar c) {
            return c.unicode() < 0x20 && c != QLatin1Char('\t') && c != QLatin1Char('\n')
                && c != QLatin1Char('\r') && c != QLatin1Char('\f');
        });
    }

    bool startsWithTag(const QByteArray &text, const QList<QByteArray> &tags)
    {
        return std::any_of(tags.cbegin(), tags.cend(), [&text](const QByteArray &tag) {
            return text.startsWith(tag);
        });
    }

    bool digitsOnly(const QByteArray &text)
    {
        return !text.isEmpty()
            && std::all_of(text.cbegin(), text.cend(), [](char c) { return c >= '0' && c <= '9'; });
    }

} // namespace

QString safeName(const QString &name)
{
    QString safe;
    const QVector<uint> codePoints = name.toUcs4();
    for (const uint c : codePoints) {
        const QChar::Category category = QChar::category(c);
        // Format characters include the direction overrides that make "gpj.exe" look like
        // "exe.jpg".
        if (c == '/' || c == '\\' || category == QChar::Other_Control
            || category == QChar::Other_Format || category == QChar::Other_Surrogate
            || c > 0x10ffff)
            safe.append(QLatin1Char('_'));
        else
            safe.append(QString::fromUcs4(&c, 1));
    }
    safe = safe.trimmed();
    if (std::all_of(safe.cbegin(), safe.cend(), [](QChar c) { return c == QLatin1Char('.'); }))
        safe.fill(QLatin1Char('_'));
    QString cut;
    int bytes = 0;
    for (int i = 0; i < safe.size(); ++i) {
        const int width = safe.at(i).isHighSurrogate() ? 2 : 1;
        const QString character = safe.mid(i, width);
        bytes += character.toUtf8().size();
        if (bytes > maxNameBytes)
            break;
        cut += character;
        i += width - 1;
    }
    return cut;
}

QString url(const QString &uploadId, const QString &name)
{
    return QString::fromLatin1(urlPrefix) + uploadId + QLatin1Char('/')
        + QString::fromLatin1(QUrl::toPercentEncoding(name));
}

std::optional<std::pair<QString, QString>> parseUrl(const QByteArray &target)
{
    if (!target.startsWith(urlPrefix))
        return std::nullopt;
    QByteArray rest = target.mid(urlPrefix.size());
    const int query = rest.indexOf('?');
    if (query >= 0)
        rest.truncate(query);
    const int slash = rest.indexOf('/');
    const QByteArray id = rest.left(slash);
    if (slash <= 0 || !std::all_of(id.cbegin(), id.cend(), [](char c) {
            return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
        }))
        return std::nullopt;
    const QString name = QString::fromUtf8(QByteArray::fromPercentEncoding(rest.mid(slash + 1)));
    if (name.isEmpty())
        return std::nullopt;
    return std::make_pair(QString::fromLatin1(id), name);
}

Sniffed sniff(const QByteArray &head)
{
    if (head.startsWith("\x89PNG\r\n\x1a\n")) {
        if (head.size() >= 24 && head.mid(12, 4) == "IHDR")
            return picture("image/png", bigEndian(head, 16, 4), bigEndian(head, 20, 4));
        return { QStringLiteral("image/png"), 0, 0 };
    }
    if (head.startsWith("\xff\xd8\xff"))
        return jpeg(head);
    if (head.startsWith("GIF87a") || head.startsWith("GIF89a")) {
        if (head.size() >= 10)
            return picture("image/gif", littleEndian(head, 6, 2), littleEndian(head, 8, 2));
        return { QStringLiteral("image/gif"), 0, 0 };
    }
    if (head.startsWith("RIFF") && head.mid(8, 4) == "WEBP")
        return webp(head);
    if (head.startsWith("BM") && head.size() >= 26)
        return picture("image/bmp",
            qint32(littleEndian(head, 18, 4)),
            std::abs(qint64(qint32(littleEndian(head, 22, 4)))));
    if (head.startsWith("%PDF-"))
        return { QStringLiteral("application/pdf"), 0, 0 };
    if (head.startsWith("PK\x03\x04"))
        return { QStringLiteral("application/zip"), 0, 0 };
    if (head.startsWith("\x1f\x8b"))
        return { QStringLiteral("application/gzip"), 0, 0 };
    if (head.isEmpty() || !isText(head))
        return { QStringLiteral("application/octet-stream"), 0, 0 };
    QByteArray start = head.left(512);
    if (start.startsWith("\xef\xbb\xbf"))
        start.remove(0, 3);
    start = start.trimmed().toLower();
    if (startsWithTag(start, { "<!doctype html", "<html", "<head", "<body", "<script", "<iframe" }))
        return { QStringLiteral("text/html"), 0, 0 };
    if (start.startsWith("<svg") || (start.startsWith("<?xml") && head.contains("<svg")))
        return { QStringLiteral("image/svg+xml"), 0, 0 };
    if (start.startsWith("<?xml"))
        return { QStringLiteral("application/xml"), 0, 0 };
    return { QStringLiteral("text/plain"), 0, 0 };
}

bool isInlinePicture(const QString &mime)
{
    return mime == QLatin1String("image/png") || mime == QLatin1String("image/jpeg")
        || mime == QLatin1String("image/gif") || mime == QLatin1String("image/webp");
}

QJsonObject fileJson(const UploadRecord &upload)
{
    QJsonObject file { { QStringLiteral("url"), url(upload.id, upload.name) },
        { QStringLiteral("name"), upload.name },
        { QStringLiteral("size"), upload.size },
        { QStringLiteral("mime"), upload.mime } };
    if (upload.width > 0 && upload.height > 0) {
        file.insert(QStringLiteral("width"), upload.width);
        file.insert(QStringLiteral("height"), upload.height);
    }
    return file;
}

Range range(const QByteArray &header, qint64 size)
{
    const QByteArray value = header.trimmed();
    Range whole { Range::Kind::Whole, 0, size };
    if (!value.startsWith("bytes=") || value.contains(','))
        return whole;
    const QByteArray bounds = value.mid(6);
    const int dash = bounds.indexOf('-');
    if (dash < 0)
        return whole;
    const QByteArray from = bounds.left(dash).trimmed();
    const QByteArray to = bounds.mid(dash + 1).trimmed();
    // Numbers too long to be sizes fail to parse and count as malformed.
    bool ok = false;
    if (from.isEmpty()) {
        const qint64 suffix = to.toLongLong(&ok);
        if (!digitsOnly(to) || !ok)
            return whole;
        if (suffix == 0 || size == 0)
            return { Range::Kind::Unsatisfiable, 0, 0 };
        const qint64 first = std::max<qint64>(0, size - suffix);
        return { Range::Kind::Partial, first, size - first };
    }
    const qint64 first = from.toLongLong(&ok);
    if (!digitsOnly(from) || !ok)
        return whole;
    qint64 last = size - 1;
    if (!to.isEmpty()) {
        last = to.toLongLong(&ok);
        if (!digitsOnly(to) || !ok || last < first)
            return whole;
    }
    if (first >= size)
        return { Range::Kind::Unsatisfiable, 0, 0 };
    last = std::min(last, size - 1);
    return { Range::Kind::Partial, first, last - first + 1 };
}

} // namespace uploadformat
