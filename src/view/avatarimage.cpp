#include "avatarimage.h"

#include "net/serveraddress.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QImageReader>
#include <QPainter>
#include <QPainterPath>

namespace avatar
{

namespace
{

    // What a body's own header says decoding it will allocate: the canvas the decoder fills and
    // the most bytes it keeps per canvas pixel.
    struct Canvas {
        QByteArray format;
        qint64 width = 0;
        qint64 height = 0;
        qint64 bytesPerPixel = 0;
    };

    qint64 bigEndian16(const QByteArray &data, int at)
    {
        return (qint64(uchar(data.at(at))) << 8) | uchar(data.at(at + 1));
    }

    qint64 littleEndian16(const QByteArray &data, int at)
    {
        return (qint64(uchar(data.at(at + 1))) << 8) | uchar(data.at(at));
    }

    qint64 bigEndian32(const QByteArray &data, int at)
    {
        return (bigEndian16(data, at) << 16) | bigEndian16(data, at + 2);
    }

    std::optional<Canvas> pngCanvas(const QByteArray &data)
    {
        // Signature, then the IHDR chunk first: length, type, width, height, bit depth.
        if (data.size() < 25 || !data.startsWith("\x89PNG\r\n\x1a\n") || data.mid(12, 4) != "IHDR")
            return std::nullopt;
        // Sixteen bits per channel come out as 64-bit pixels.
        const qint64 bytes = uchar(data.at(24)) == 16 ? 8 : 4;
        return Canvas { "png", bigEndian32(data, 16), bigEndian32(data, 20), bytes };
    }

    std::optional<Canvas> gifCanvas(const QByteArray &data)
    {
        if (data.size() < 10 || !(data.startsWith("GIF87a") || data.startsWith("GIF89a")))
            return std::nullopt;
        // Qt decodes every frame into a canvas of the logical screen, however small the frame,
        // and sizes the canvas by the frames when a side of the screen is zero: such a GIF is
        // refused rather than measured. The frame behind the screen costs as much again.
        return Canvas { "gif", littleEndian16(data, 6), littleEndian16(data, 8), 8 };
    }

    std::optional<Canvas> jpegCanvas(const QByteArray &data)
    {
        if (!data.startsWith("\xff\xd8"))
            return std::nullopt;
        // Walk the marker segments up to the first frame header, as the decoder does.
        int at = 2;
        while (at + 1 < data.size()) {
            if (uchar(data.at(at)) != 0xff)
                return std::nullopt;
            const uchar marker = uchar(data.at(at + 1));
            if (marker == 0xff) {
                ++at;
                continue;
            }
            at += 2;
            if (marker == 0x01 || (marker >= 0xd0 && marker <= 0xd8))
                continue;
            if (marker == 0xd9 || marker == 0xda || at + 2 > data.size())
                return std::nullopt;
            const qint64 length = bigEndian16(data, at);
            const bool frame = marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8
                && marker != 0xcc;
            if (frame) {
                if (length < 8 || at + 8 > data.size())
                    return std::nullopt;
                // A progressive picture keeps two bytes per pixel and component of
                // coefficients besides the 32-bit picture.
                const qint64 components = uchar(data.at(at + 7));
                return Canvas {
                    "jpeg", bigEndian16(data, at + 5), bigEndian16(data, at + 3), 4 + 2 * components
                };
            }
            if (length < 2)
                return std::nullopt;
            at += static_cast<int>(length);
        }
        return std::nullopt;
    }

    // Avatars are photos or small drawings: PNG, JPEG and GIF cover them. Other formats Qt could
    // read (SVG, ICO) are refused, so their costs need no bounding.
    std::optional<Canvas> canvasOf(const QByteArray &data)
    {
        if (auto canvas = pngCanvas(data))
            return canvas;
        if (auto canvas = jpegCanvas(data))
            return canvas;
        return gifCanvas(data);
    }

} // namespace

bool isPlaceholderUrl(const QString &avatarUrl)
{
    return avatarUrl.isEmpty() || avatarUrl == QLatin1String("default.png")
        || avatarUrl == QLatin1String("/default.png")
        || avatarUrl.endsWith(QLatin1String("/default.png"));
}

QString normalisedUrl(const QString &avatarUrl)
{
    if (avatarUrl.startsWith(QLatin1Char('/')))
        return apiBaseUrl() + avatarUrl;
    if (!avatarUrl.startsWith(QLatin1String("http://"))
        && !avatarUrl.startsWith(QLatin1String("https://")))
        return apiBaseUrl() + QLatin1Char('/') + avatarUrl;
    return avatarUrl;
}

QString cacheFileName(const QString &normalisedUrl, qreal devicePixelRatio)
{
    const QString digest = QString::fromLatin1(
        QCryptographicHash::hash(normalisedUrl.toUtf8(), QCryptographicHash::Md5).toHex());
    if (qFuzzyCompare(devicePixelRatio, 1.0))
        return digest + QStringLiteral(".png");
    return digest + QLatin1Char('@') + QString::number(devicePixelRatio) + QStringLiteral("x.png");
}

int pixelSide(qreal devicePixelRatio)
{
    return qRound(side * devicePixelRatio);
}

QSize announcedSize(const QByteArray &body)
{
    const std::optional<Canvas> canvas = canvasOf(body);
    if (!canvas || canvas->width < 1 || canvas->height < 1)
        return QSize();
    return QSize(int(canvas->width), int(canvas->height));
}

std::optional<QImage> decodePicture(
    const QByteArray &body, const PictureLimits &limits, QSize fitIn)
{
    if (body.size() > limits.maxBodyBytes)
        return std::nullopt;
    // The header is checked before any pixel is decoded, read here rather than through
    // QImageReader::size(), which reports a GIF's first frame instead of the canvas it fills.
    const std::optional<Canvas> canvas = canvasOf(body);
    if (!canvas || canvas->width < 1 || canvas->height < 1 || canvas->width > limits.maxSide
        || canvas->height > limits.maxSide
        || canvas->width * canvas->height * canvas->bytesPerPixel > limits.maxDecodeBytes)
        return std::nullopt;
    QBuffer buffer;
    buffer.setData(body);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, canvas->format);
    reader.setAutoDetectImageFormat(false);
    const QSize full(int(canvas->width), int(canvas->height));
    if (fitIn.isValid() && canvas->format == "jpeg"
        && (full.width() > fitIn.width() || full.height() > fitIn.height()))
        reader.setScaledSize(full.scaled(fitIn, Qt::KeepAspectRatio).expandedTo(QSize(1, 1)));
    QImage picture = reader.read();
    if (picture.isNull())
        return std::nullopt;
    return picture;
}

QPixmap circularAvatar(const QImage &picture, qreal devicePixelRatio)
{
    const int pixels = pixelSide(devicePixelRatio);
    QPixmap result(pixels, pixels);
    result.fill(Qt::transparent);
    QPainter painter(&result);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath circle;
    circle.addEllipse(0, 0, pixels, pixels);
    painter.setClipPath(circle);
    const int square = std::min(picture.width(), picture.height());
    const QImage centre =
        picture
            .copy((picture.width() - square) / 2, (picture.height() - square) / 2, square, square)
            .scaled(pixels, pixels, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    painter.drawImage(QRect(0, 0, pixels, pixels), centre);
    painter.end();
    result.setDevicePixelRatio(devicePixelRatio);
    return result;
}

} // namespace avatar
