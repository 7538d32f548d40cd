#include "attachment.h"

#include <QLocale>

bool Attachment::isPicture() const
{
    for (const char *type : { "image/png", "image/jpeg", "image/gif", "image/webp" }) {
        if (mime == QLatin1String(type))
            return true;
    }
    return false;
}

QString formattedSize(qint64 bytes)
{
    return QLocale::c().formattedDataSize(bytes, 1, QLocale::DataSizeTraditionalFormat);
}
