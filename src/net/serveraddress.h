#pragma once

#include <QSslConfiguration>
#include <QString>
#include <QUrl>

// Where the chat server is: the host compiled in (FERROW_SERVER_HOST at configure time) and
// port 8443, each overridable at run time by the environment variables FERROW_SERVER_HOST and
// FERROW_SERVER_PORT. The WebSocket URL and the HTTP base URL always come from the same pair,
// and both use TLS (wss://, https://) when FERROW_SERVER_TLS is on, at configure or run time.
struct ServerAddress {
    QString host;
    quint16 port = 8443;
    bool tls = false;

    // Read afresh at every call, so a test can point a new window at a new server.
    static ServerAddress fromEnvironment();

    QUrl webSocketUrl() const;
    QString httpBaseUrl() const;
};

// What the server's certificate is checked against: the system's CAs, plus the CA certificate
// in the file FERROW_SERVER_CA names (a deployment with its own CA).
QSslConfiguration serverSslConfiguration();

// The server's HTTP base URL ("http://HOST:PORT", no trailing slash); server-relative avatar
// paths are appended to it.
QString apiBaseUrl();
