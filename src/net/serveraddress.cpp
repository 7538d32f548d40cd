#include "serveraddress.h"

#include "logging.h"

#include <QLoggingCategory>
#include <QSet>

#ifndef FERROW_SERVER_HOST
#define FERROW_SERVER_HOST "localhost"
#endif

namespace
{

constexpr quint16 defaultPort = 8443;

// Warns once per distinct bad value, not at every read.
void warnBadPort(const QByteArray &value)
{
    static QSet<QByteArray> warned;
    if (warned.contains(value))
        return;
    warned.insert(value);
    qCWarning(lcNet).noquote() << "Ignoring FERROW_SERVER_PORT" << QString::fromUtf8(value)
                               << "(not a port number from 1 to 65535)";
}

} // namespace

ServerAddress ServerAddress::fromEnvironment()
{
    ServerAddress address;
    const QByteArray host = qgetenv("FERROW_SERVER_HOST").trimmed();
    address.host = host.isEmpty() ? QStringLiteral(FERROW_SERVER_HOST) : QString::fromUtf8(host);

    const QByteArray portText = qgetenv("FERROW_SERVER_PORT");
    address.port = defaultPort;
    if (!portText.isEmpty()) {
        bool ok = false;
        const uint port = portText.trimmed().toUInt(&ok);
        if (ok && port >= 1 && port <= 65535)
            address.port = static_cast<quint16>(port);
        else
            warnBadPort(portText);
    }
    return address;
}

QUrl ServerAddress::webSocketUrl() const
{
    return QUrl(QStringLiteral("ws://") + host + QLatin1Char(':') + QString::number(port)
            + QStringLiteral("/ws"),
        QUrl::TolerantMode);
}

QString ServerAddress::httpBaseUrl() const
{
    return QStringLiteral("http://") + host + QLatin1Char(':') + QString::number(port);
}

QString apiBaseUrl()
{
    return ServerAddress::fromEnvironment().httpBaseUrl();
}
