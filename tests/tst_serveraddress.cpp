#include "net/serveraddress.h"

namespace
{

int portWarnings = 0;

void countPortWarnings(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtWarningMsg && text.contains(QLatin1String("FERROW_SERVER_PORT")))
        ++portWarnings;
}

} // namespace

#include <QtTest>

class TestServerAddress : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void derivesBothUrlsFromOnePair_data();
    void derivesBothUrlsFromOnePair();
    void tlsSwitchesBothUrls_data();
    void tlsSwitchesBothUrls();
};

void TestServerAddress::cleanup()
{
    qunsetenv("FERROW_SERVER_HOST");
    qunsetenv("FERROW_SERVER_PORT");
    qunsetenv("FERROW_SERVER_TLS");
}

void TestServerAddress::derivesBothUrlsFromOnePair_data()
{
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<QByteArray>("port");
    QTest::addColumn<QString>("webSocket");
    QTest::addColumn<QString>("http");
    QTest::addColumn<int>("warnings");

    QTest::newRow("defaults") << QByteArray() << QByteArray()
                              << QStringLiteral("ws://localhost:8443/ws")
                              << QStringLiteral("http://localhost:8443") << 0;
    QTest::newRow("host and port overridden")
        << QByteArray("chat.example.org") << QByteArray("9000")
        << QStringLiteral("ws://chat.example.org:9000/ws")
        << QStringLiteral("http://chat.example.org:9000") << 0;
    QTest::newRow("port zero ignored")
        << QByteArray() << QByteArray("0") << QStringLiteral("ws://localhost:8443/ws")
        << QStringLiteral("http://localhost:8443") << 1;
    QTest::newRow("port too large ignored")
        << QByteArray() << QByteArray("65536") << QStringLiteral("ws://localhost:8443/ws")
        << QStringLiteral("http://localhost:8443") << 1;
    QTest::newRow("port not a number ignored")
        << QByteArray() << QByteArray("80a") << QStringLiteral("ws://localhost:8443/ws")
        << QStringLiteral("http://localhost:8443") << 1;
    QTest::newRow("highest port") << QByteArray("127.0.0.1") << QByteArray("65535")
                                  << QStringLiteral("ws://127.0.0.1:65535/ws")
                                  << QStringLiteral("http://127.0.0.1:65535") << 0;
}

void TestServerAddress::derivesBothUrlsFromOnePair()
{
    QFETCH(QByteArray, host);
    QFETCH(QByteArray, port);
    if (!host.isEmpty())
        qputenv("FERROW_SERVER_HOST", host);
    if (!port.isEmpty())
        qputenv("FERROW_SERVER_PORT", port);
    portWarnings = 0;
    const QtMessageHandler previous = qInstallMessageHandler(countPortWarnings);
    const ServerAddress address = ServerAddress::fromEnvironment();
    const QString base = apiBaseUrl();
    qInstallMessageHandler(previous);
    QTEST(address.webSocketUrl().toString(), "webSocket");
    QTEST(address.httpBaseUrl(), "http");
    QTEST(base, "http");
    // A bad port is reported once, not at every read.
    QTEST(portWarnings, "warnings");
}

void TestServerAddress::tlsSwitchesBothUrls_data()
{
    QTest::addColumn<QByteArray>("tls");
    QTest::addColumn<QString>("webSocket");
    QTest::addColumn<QString>("http");

    // The build's default is plain, as configured for the tests.
    QTest::newRow("unset") << QByteArray() << QStringLiteral("ws://localhost:8443/ws")
                           << QStringLiteral("http://localhost:8443");
    QTest::newRow("on") << QByteArray("1") << QStringLiteral("wss://localhost:8443/ws")
                        << QStringLiteral("https://localhost:8443");
    QTest::newRow("off") << QByteArray("0") << QStringLiteral("ws://localhost:8443/ws")
                         << QStringLiteral("http://localhost:8443");
    QTest::newRow("neither 0 nor 1 keeps the default")
        << QByteArray("yes") << QStringLiteral("ws://localhost:8443/ws")
        << QStringLiteral("http://localhost:8443");
}

void TestServerAddress::tlsSwitchesBothUrls()
{
    QFETCH(QByteArray, tls);
    if (!tls.isEmpty())
        qputenv("FERROW_SERVER_TLS", tls);
    const ServerAddress address = ServerAddress::fromEnvironment();
    QTEST(address.webSocketUrl().toString(), "webSocket");
    QTEST(address.httpBaseUrl(), "http");
    QTEST(apiBaseUrl(), "http");
}

QTEST_APPLESS_MAIN(TestServerAddress)
#include "tst_serveraddress.moc"
