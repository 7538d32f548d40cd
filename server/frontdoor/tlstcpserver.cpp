#include "tlstcpserver.h"

#include "serverlogging.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>

TlsTcpServer::TlsTcpServer(QObject *parent)
    : QTcpServer(parent)
{
}

void TlsTcpServer::setSslConfiguration(const QSslConfiguration &configuration)
{
    sslConfiguration = configuration;
    secure = !configuration.localCertificate().isNull() && !configuration.privateKey().isNull();
}

bool TlsTcpServer::isSecure() const
{
    return secure;
}

void TlsTcpServer::incomingConnection(qintptr socketDescriptor)
{
    if (!secure) {
        QTcpServer::incomingConnection(socketDescriptor);
        return;
    }
    auto *socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(socketDescriptor)) {
        delete socket;
        return;
    }
    socket->setSslConfiguration(sslConfiguration);
    connect(socket,
        QOverload<const QList<QSslError> &>::of(&QSslSocket::sslErrors),
        socket,
        [socket](const QList<QSslError> &errors) {
            for (const QSslError &error : errors)
                qCDebug(lcServer).noquote()
                    << "TLS handshake with" << socket->peerAddress().toString()
                    << "failed:" << error.errorString();
        });
    socket->startServerEncryption();
    // Handed on before the handshake completes: the reader waits for decrypted bytes anyway,
    // and its request-head deadline also bounds a handshake that never finishes.
    addPendingConnection(socket);
}

std::optional<QSslConfiguration> TlsTcpServer::loadConfiguration(
    const QString &certificateFile, const QString &keyFile, QString *error)
{
    const QList<QSslCertificate> chain = QSslCertificate::fromPath(
        certificateFile, QSsl::Pem, QSslCertificate::PatternSyntax::FixedString);
    if (chain.isEmpty()) {
        *error = QStringLiteral("no PEM certificate in %1").arg(certificateFile);
        return std::nullopt;
    }
    QFile file(keyFile);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(keyFile, file.errorString());
        return std::nullopt;
    }
    const QByteArray pem = file.readAll();
    QSslKey key;
    for (const QSsl::KeyAlgorithm algorithm : { QSsl::Rsa, QSsl::Ec }) {
        key = QSslKey(pem, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!key.isNull())
            break;
    }
    if (key.isNull()) {
        *error = QStringLiteral("no unencrypted RSA or EC private key in %1").arg(keyFile);
        return std::nullopt;
    }

    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificateChain(chain);
    configuration.setPrivateKey(key);
    // Clients are not asked for certificates; they prove who they are with a password.
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    return configuration;
}
