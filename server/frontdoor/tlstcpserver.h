#pragma once

#include <QSslConfiguration>
#include <QString>
#include <QTcpServer>
#include <optional>

// A TCP server whose connections speak TLS once it has a certificate: each accepted socket is
// a QSslSocket that starts the server side of the handshake at once, so whoever reads it sees
// only decrypted bytes. Without a certificate it accepts plain sockets, as QTcpServer does.
class TlsTcpServer : public QTcpServer
{
    Q_OBJECT

public:
    explicit TlsTcpServer(QObject *parent = nullptr);

    void setSslConfiguration(const QSslConfiguration &configuration);
    bool isSecure() const;

    // Reads a PEM certificate (the server's first, then any chain) and its PEM private key
    // (RSA or EC, unencrypted); on failure returns nothing and says why in `error`.
    static std::optional<QSslConfiguration> loadConfiguration(
        const QString &certificateFile, const QString &keyFile, QString *error);

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    QSslConfiguration sslConfiguration;
    bool secure = false;
};
