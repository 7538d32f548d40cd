#include "serveraddress.h"

#include "logging.h"

#include <QLoggingCategory>
#include <QSet>
#include <QSslCertificate>

#ifndef FERROW_SERVER_HOST
#define FERROW_SERVER_HOST "localhost"
#endif
#ifndef FERROW_SERVER_TLS
#define FERROW_SERVER_TLS false
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

// Warns once per distinct text, not at every read.
void warnOnce(const QString &text)
{
    static QSet<QString> warned;
    if (warned.contains(text))
        return;
    warned.insert(text);
    qCWarning(lcNet).noquote() << text;
}

bool tlsFromEnvironment()
{
    const QByteArray value = qgetenv("FERROW_SERVER_TLS").trimmed();
    if (value.isEmpty())
        return FERROW_SERVER_TLS;
    if (value == "1")
        return true;
    if (value == "0")
        return false;
    warnOnce(QStringLiteral("Ignoring FERROW_SERVER_TLS ") + QString::fromUtf8(value)
        + QStringLiteral(" (not 0 or 1)"));
    return FERROW_SERVER_TLS;
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
    address.tls = tlsFromEnvironment();
    return address;
}

QUrl ServerAddress::webSocketUrl() const
{
    return QUrl((tls ? QStringLiteral("wss://") : QStringLiteral("ws://")) + host + QLatin1Char(':')
            + QString::number(port) + QStringLiteral("/ws"),
        QUrl::TolerantMode);
}

QString ServerAddress::httpBaseUrl() const
{
    return (tls ? QStringLiteral("https://") : QStringLiteral("http://")) + host + QLatin1Char(':')
        + QString::number(port);
}

QString apiBaseUrl()
{
    return ServerAddress::fromEnvironment().httpBaseUrl();
}

QSslConfiguration serverSslConfiguration()
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    const QString caFile = QString::fromLocal8Bit(qgetenv("FERROW_SERVER_CA"));
    if (caFile.isEmpty())
        return configuration;
    const QList<QSslCertificate> authorities =
        QSslCertificate::fromPath(caFile, QSsl::Pem, QSslCertificate::PatternSyntax::FixedString);
    // Without it the server's certificate is checked against the system's CAs alone, and a
    // private CA's certificate is refused: never weaker than asked for.
    if (authorities.isEmpty())
        warnOnce(QStringLiteral("FERROW_SERVER_CA: no PEM certificate in ") + caFile);
    configuration.addCaCertificates(authorities);
    return configuration;
}
