#include "app/mainwindow.h"
#include "chatserver.h"
#include "credentials.h"
#include "model/metatypes.h"
#include "net/serveraddress.h"
#include "net/websocketclient.h"
#include "sqlitestore.h"
#include "tlstcpserver.h"
#include "windowprobe.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QSslError>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

// TLS between the real client classes and the real server, with a throw-away CA and
// certificates made by the openssl program for each run.
class TestTls : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void clientLogsInAndFetchesOverTls();
    void badCertificateIsRefused_data();
    void badCertificateIsRefused();
    void loginPageNamesTheCertificateError();
    void serverAnnouncesWhatItServes_data();
    void serverAnnouncesWhatItServes();
    void serverRejectsIncompleteTlsOptions_data();
    void serverRejectsIncompleteTlsOptions();

private:
    bool openssl(const QStringList &arguments);
    QString file(const QString &name) const;
    bool startServer(const QString &certificate);

    QTemporaryDir certificates;
    QString passwordHash;
    std::unique_ptr<QTemporaryDir> dataDir;
    std::unique_ptr<SqliteStore> db;
    std::unique_ptr<ChatServer> server;
};

bool TestTls::openssl(const QStringList &arguments)
{
    QProcess process;
    process.setWorkingDirectory(certificates.path());
    process.start(QStringLiteral("openssl"), arguments);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        qWarning() << "openssl" << arguments << "failed:" << process.readAllStandardError();
        return false;
    }
    return true;
}

QString TestTls::file(const QString &name) const
{
    return certificates.filePath(name);
}

void TestTls::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    registerMetaTypes();
    passwordHash = credentials::hashPassword(QStringLiteral("secret"), credentials::cheapestLimits);
    QVERIFY(certificates.isValid());

    const QStringList ecKey = { QStringLiteral("-newkey"),
        QStringLiteral("ec"),
        QStringLiteral("-pkeyopt"),
        QStringLiteral("ec_paramgen_curve:prime256v1"),
        QStringLiteral("-nodes") };
    // The CA, and the one key of every server certificate below.
    QVERIFY(openssl(QStringList { QStringLiteral("req"), QStringLiteral("-x509") } + ecKey
        + QStringList { QStringLiteral("-keyout"),
            QStringLiteral("ca.key"),
            QStringLiteral("-out"),
            QStringLiteral("ca.crt"),
            QStringLiteral("-days"),
            QStringLiteral("2"),
            QStringLiteral("-subj"),
            QStringLiteral("/CN=Ferrow Test CA") }));
    QVERIFY(openssl(QStringList { QStringLiteral("genpkey"),
        QStringLiteral("-algorithm"),
        QStringLiteral("ec"),
        QStringLiteral("-pkeyopt"),
        QStringLiteral("ec_paramgen_curve:prime256v1"),
        QStringLiteral("-out"),
        QStringLiteral("server.key") }));

    // Every certificate of the server key; the host is both the common name and the only
    // alternative name, as either alone would let the client accept it.
    const auto sign = [this](const QString &out, const QString &host, const QString &days) {
        QFile extensions(file(out + QStringLiteral(".ext")));
        if (!extensions.open(QIODevice::WriteOnly))
            return false;
        extensions.write("subjectAltName=DNS:" + host.toUtf8() + '\n');
        extensions.close();
        const QString request = out + QStringLiteral(".csr");
        if (!openssl({ QStringLiteral("req"),
                QStringLiteral("-new"),
                QStringLiteral("-key"),
                QStringLiteral("server.key"),
                QStringLiteral("-subj"),
                QStringLiteral("/CN=") + host,
                QStringLiteral("-out"),
                request }))
            return false;
        return openssl({ QStringLiteral("x509"),
            QStringLiteral("-req"),
            QStringLiteral("-in"),
            request,
            QStringLiteral("-CA"),
            QStringLiteral("ca.crt"),
            QStringLiteral("-CAkey"),
            QStringLiteral("ca.key"),
            QStringLiteral("-CAcreateserial"),
            QStringLiteral("-days"),
            days,
            QStringLiteral("-extfile"),
            extensions.fileName(),
            QStringLiteral("-out"),
            out });
    };
    QVERIFY(sign(QStringLiteral("good.crt"), QStringLiteral("localhost"), QStringLiteral("1")));
    QVERIFY(sign(
        QStringLiteral("otherhost.crt"), QStringLiteral("chat.example.org"), QStringLiteral("1")));
    // One day before today: already expired.
    QVERIFY(sign(QStringLiteral("expired.crt"), QStringLiteral("localhost"), QStringLiteral("-1")));
    QVERIFY(openssl({ QStringLiteral("req"),
        QStringLiteral("-x509"),
        QStringLiteral("-key"),
        QStringLiteral("server.key"),
        QStringLiteral("-out"),
        QStringLiteral("selfsigned.crt"),
        QStringLiteral("-days"),
        QStringLiteral("1"),
        QStringLiteral("-subj"),
        QStringLiteral("/CN=localhost"),
        QStringLiteral("-addext"),
        QStringLiteral("subjectAltName=DNS:localhost") }));
}

void TestTls::init()
{
    dataDir = std::make_unique<QTemporaryDir>();
    db = std::make_unique<SqliteStore>();
    QVERIFY(db->open(dataDir->path()));
    db->addUser(QStringLiteral("alice"), passwordHash);
    qputenv("FERROW_SERVER_HOST", "localhost");
    qputenv("FERROW_SERVER_TLS", "1");
    qputenv("FERROW_SERVER_CA", file(QStringLiteral("ca.crt")).toLocal8Bit());
}

void TestTls::cleanup()
{
    server.reset();
    db.reset();
    dataDir.reset();
    qunsetenv("FERROW_SERVER_HOST");
    qunsetenv("FERROW_SERVER_PORT");
    qunsetenv("FERROW_SERVER_TLS");
    qunsetenv("FERROW_SERVER_CA");
}

bool TestTls::startServer(const QString &certificate)
{
    QString error;
    const auto tls = TlsTcpServer::loadConfiguration(
        file(certificate), file(QStringLiteral("server.key")), &error);
    if (!tls) {
        qWarning() << error;
        return false;
    }
    ChatServer::Options options;
    options.staticDir = dataDir->filePath(QStringLiteral("static"));
    options.tls = *tls;
    options.passwordLimits = credentials::cheapestLimits;
    server = std::make_unique<ChatServer>(SqliteStore::connector(dataDir->path()), options);
    if (!server->listen(QHostAddress::LocalHost, 0) || !server->isSecure())
        return false;
    qputenv("FERROW_SERVER_PORT", QByteArray::number(server->serverPort()));
    return true;
}

void TestTls::clientLogsInAndFetchesOverTls()
{
    QVERIFY(startServer(QStringLiteral("good.crt")));
    QCOMPARE(ServerAddress::fromEnvironment().webSocketUrl().scheme(), QStringLiteral("wss"));

    WebSocketClient client;
    QSignalSpy connected(&client, &WebSocketClient::connected);
    QSignalSpy loggedIn(&client, &WebSocketClient::loginSuccess);
    QSignalSpy rejected(&client, &WebSocketClient::certificateRejected);
    client.connectToServer();
    QVERIFY(connected.wait(10000));
    client.login(QStringLiteral("alice"), QStringLiteral("secret"));
    QVERIFY(loggedIn.wait(10000));
    QCOMPARE(client.currentUser.username, QStringLiteral("alice"));
    QVERIFY(rejected.isEmpty());

    // Avatars come over https:// from the same port, checked against the same CA.
    QNetworkAccessManager network;
    QNetworkRequest request(QUrl(apiBaseUrl() + QStringLiteral("/static/default.png")));
    QCOMPARE(request.url().scheme(), QStringLiteral("https"));
    request.setSslConfiguration(serverSslConfiguration());
    std::unique_ptr<QNetworkReply> reply(network.get(request));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    QVERIFY(finished.wait(10000));
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QVERIFY(reply->readAll().startsWith("\x89PNG"));
}

void TestTls::badCertificateIsRefused_data()
{
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<bool>("withCa");
    QTest::addColumn<int>("expectedError");

    QTest::newRow("certificate for another host")
        << QStringLiteral("otherhost.crt") << true << int(QSslError::HostNameMismatch);
    QTest::newRow("expired certificate")
        << QStringLiteral("expired.crt") << true << int(QSslError::CertificateExpired);
    QTest::newRow("self-signed without FERROW_SERVER_CA")
        << QStringLiteral("selfsigned.crt") << false << int(QSslError::SelfSignedCertificate);
    QTest::newRow("private CA not named")
        << QStringLiteral("good.crt") << false << int(QSslError::UnableToGetLocalIssuerCertificate);
}

void TestTls::badCertificateIsRefused()
{
    QFETCH(QString, certificate);
    QFETCH(bool, withCa);
    QFETCH(int, expectedError);
    QVERIFY(startServer(certificate));
    if (!withCa)
        qunsetenv("FERROW_SERVER_CA");

    WebSocketClient client;
    QSignalSpy connected(&client, &WebSocketClient::connected);
    QSignalSpy disconnected(&client, &WebSocketClient::disconnected);
    QSignalSpy rejected(&client, &WebSocketClient::certificateRejected);
    client.connectToServer();
    QTRY_VERIFY_WITH_TIMEOUT(!disconnected.isEmpty(), 10000);

    QCOMPARE(rejected.size(), 1);
    const QString reason = rejected.first().first().toString();
    QVERIFY2(reason.contains(QSslError(QSslError::SslError(expectedError)).errorString()),
        qPrintable(reason));
    QVERIFY(connected.isEmpty());
    // Nothing reached the chat protocol, and the client did not try again in the clear.
    QCOMPARE(server->connectionCount(), 0);
    QCOMPARE(disconnected.size(), 1);
}

void TestTls::loginPageNamesTheCertificateError()
{
    QVERIFY(startServer(QStringLiteral("selfsigned.crt")));
    qunsetenv("FERROW_SERVER_CA");
    MainWindow window;
    WindowProbe probe(window);
    QTRY_VERIFY_WITH_TIMEOUT(
        probe.statusLabel()->text().contains(QLatin1String("certificate")), 10000);
    QVERIFY2(probe.statusLabel()->text().contains(
                 QSslError(QSslError::SelfSignedCertificate).errorString()),
        qPrintable(probe.statusLabel()->text()));
    QCOMPARE(probe.stackedWidget()->currentWidget(), probe.loginPage());
}

void TestTls::serverAnnouncesWhatItServes_data()
{
    QTest::addColumn<bool>("tls");
    QTest::addColumn<QString>("announced");
    QTest::newRow("plain") << false << QStringLiteral("(ws:// and http://, no TLS)");
    QTest::newRow("with a certificate") << true << QStringLiteral("(wss:// and https://)");
}

void TestTls::serverAnnouncesWhatItServes()
{
    QFETCH(bool, tls);
    QFETCH(QString, announced);
    QStringList arguments = { QStringLiteral("--data-dir"),
        dataDir->filePath(QStringLiteral("process")),
        QStringLiteral("--port"),
        QStringLiteral("0") };
    if (tls)
        arguments << QStringLiteral("--tls-cert") << file(QStringLiteral("good.crt"))
                  << QStringLiteral("--tls-key") << file(QStringLiteral("server.key"));
    QProcess process;
    process.start(QStringLiteral(FERROW_SERVER_BINARY), arguments);
    QVERIFY(process.waitForStarted(10000));
    QTRY_VERIFY_WITH_TIMEOUT(
        process.canReadLine() || process.state() == QProcess::NotRunning, 10000);
    const QString line = QString::fromUtf8(process.readLine());
    process.terminate();
    QVERIFY(process.waitForFinished(10000));
    QVERIFY2(QRegularExpression(QStringLiteral("^listening on 127\\.0\\.0\\.1:\\d+ "))
                 .match(line)
                 .hasMatch(),
        qPrintable(line));
    QVERIFY2(line.trimmed().endsWith(announced), qPrintable(line));
}

void TestTls::serverRejectsIncompleteTlsOptions_data()
{
    QTest::addColumn<QStringList>("tlsArguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    QTest::newRow("certificate without key") << QStringList { QStringLiteral("--tls-cert"),
        QStringLiteral("good.crt") } << 2 << QStringLiteral("--tls-cert and --tls-key go together");
    QTest::newRow("key file missing") << QStringList { QStringLiteral("--tls-cert"),
        QStringLiteral("good.crt"),
        QStringLiteral("--tls-key"),
        QStringLiteral("missing.key") }
                                      << 1 << QStringLiteral("cannot read");
    QTest::newRow("certificate given as key") << QStringList { QStringLiteral("--tls-cert"),
        QStringLiteral("good.crt"),
        QStringLiteral("--tls-key"),
        QStringLiteral("good.crt") } << 1 << QStringLiteral("no unencrypted RSA or EC private key");
    QTest::newRow("key given as certificate") << QStringList { QStringLiteral("--tls-cert"),
        QStringLiteral("server.key"),
        QStringLiteral("--tls-key"),
        QStringLiteral("server.key") } << 1 << QStringLiteral("no PEM certificate");
}

void TestTls::serverRejectsIncompleteTlsOptions()
{
    QFETCH(QStringList, tlsArguments);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QProcess process;
    process.setWorkingDirectory(certificates.path());
    process.start(QStringLiteral(FERROW_SERVER_BINARY),
        QStringList { QStringLiteral("--data-dir"),
            dataDir->filePath(QStringLiteral("process")),
            QStringLiteral("--port"),
            QStringLiteral("0") }
            + tlsArguments);
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), exitCode);
    const QString error = QString::fromUtf8(process.readAllStandardError());
    QVERIFY2(error.contains(message), qPrintable(error));
    QVERIFY(!process.readAllStandardOutput().contains("listening"));
}

QTEST_MAIN(TestTls)
#include "tst_tls.moc"
