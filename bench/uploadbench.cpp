// One large file through the server binary on loopback: uploaded, then downloaded; the rate each
// way (MB/s, 10^6 bytes) and how far the server's resident memory grows above what it held before
// the upload. Medians of several runs, each on a fresh server and data folder.
//
//   build/ferrow-uploadbench [--runs N] [--mib N]
#include "credentials.h"
#include "sqlitestore.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace
{

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

qint64 residentKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

struct Transfer {
    double seconds = 0;
    QByteArray answer;
    qint64 bytesRead = 0;
};

// Sends `head` and `bodyBytes` of filler, reads until the server closes (keeping the first KiB),
// and samples the server's memory all along into `peakKiB`.
Transfer exchange(
    quint16 port, const QByteArray &head, qint64 bodyBytes, qint64 pid, qint64 &peakKiB)
{
    Transfer transfer;
    QByteArray chunk(1024 * 1024, '\0');
    for (int i = 0; i < chunk.size(); ++i)
        chunk[i] = char((i * 7919) >> 3);
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.waitForConnected(5000);
    QElapsedTimer clock;
    clock.start();
    socket.write(head);
    qint64 left = bodyBytes;
    QElapsedTimer sampled;
    sampled.start();
    while (socket.state() == QAbstractSocket::ConnectedState || socket.bytesAvailable() > 0) {
        while (left > 0 && socket.bytesToWrite() < 4 * chunk.size()) {
            const QByteArray piece = chunk.left(int(std::min<qint64>(left, chunk.size())));
            socket.write(piece);
            left -= piece.size();
        }
        socket.waitForBytesWritten(0);
        socket.waitForReadyRead(left > 0 ? 0 : 100);
        const QByteArray read = socket.readAll();
        transfer.bytesRead += read.size();
        transfer.answer += read.left(1024 - transfer.answer.size());
        if (sampled.elapsed() >= 20) {
            peakKiB = std::max(peakKiB, residentKiB(pid));
            sampled.restart();
        }
        if (clock.elapsed() > 120000)
            break;
    }
    transfer.seconds = clock.nsecsElapsed() / 1e9;
    return transfer;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption runsOption(
        QStringLiteral("runs"), QStringLiteral("Runs."), QStringLiteral("N"), QStringLiteral("5"));
    const QCommandLineOption mibOption(QStringLiteral("mib"),
        QStringLiteral("File size in MiB."),
        QStringLiteral("N"),
        QStringLiteral("100"));
    parser.addOptions({ runsOption, mibOption });
    parser.process(app);
    const int runs = std::max(1, parser.value(runsOption).toInt());
    const qint64 size = std::max(1, parser.value(mibOption).toInt()) * qint64(1024 * 1024);
    const QString serverBinary =
        QCoreApplication::applicationDirPath() + QStringLiteral("/ferrow-server");

    std::vector<double> up, down, growth;
    for (int run = 0; run < runs; ++run) {
        QTemporaryDir dir;
        const QString token = credentials::newToken();
        QString chatId;
        {
            SqliteStore db;
            if (!db.open(dir.path()))
                return 1;
            const QString alice = db.addUser(QStringLiteral("alice"), QStringLiteral("x"))->id;
            chatId =
                db.createChat({}, QStringLiteral("Team"), QStringLiteral("group"), alice, { alice })
                    ->id;
            db.addHttpToken(
                credentials::tokenHash(token), alice, QDateTime::currentSecsSinceEpoch());
        }
        QProcess server;
        server.start(serverBinary,
            { QStringLiteral("--data-dir"),
                dir.path(),
                QStringLiteral("--port"),
                QStringLiteral("0"),
                QStringLiteral("--max-upload-size"),
                QString::number(size) });
        if (!server.waitForStarted(10000) || !server.waitForReadyRead(10000))
            return 1;
        const QRegularExpressionMatch port = QRegularExpression(QStringLiteral(":(\\d+) "))
                                                 .match(QString::fromUtf8(server.readLine()));
        const quint16 serverPort = quint16(port.captured(1).toUInt());
        const qint64 pid = server.processId();
        const qint64 before = residentKiB(pid);
        qint64 peak = before;
        const QByteArray authorization = "Authorization: Bearer " + token.toLatin1() + "\r\n";
        const Transfer uploaded = exchange(serverPort,
            "POST /upload?chatId=" + chatId.toLatin1() + "&name=big.bin HTTP/1.1\r\nHost: x\r\n"
                + authorization + "Content-Length: " + QByteArray::number(size) + "\r\n\r\n",
            size,
            pid,
            peak);
        const QByteArray body = uploaded.answer.mid(uploaded.answer.indexOf("\r\n\r\n") + 4);
        const QByteArray url = QJsonDocument::fromJson(body)
                                   .object()
                                   .value(QLatin1String("url"))
                                   .toString()
                                   .toLatin1();
        if (!uploaded.answer.startsWith("HTTP/1.1 201") || url.isEmpty()) {
            std::fprintf(stderr, "upload failed: %s\n", uploaded.answer.constData());
            return 1;
        }
        const Transfer downloaded = exchange(serverPort,
            "GET " + url + " HTTP/1.1\r\nHost: x\r\n" + authorization + "\r\n",
            0,
            pid,
            peak);
        if (downloaded.bytesRead < size) {
            std::fprintf(stderr, "download cut short\n");
            return 1;
        }
        server.terminate();
        server.waitForFinished(10000);
        up.push_back(size / 1e6 / uploaded.seconds);
        down.push_back(size / 1e6 / downloaded.seconds);
        growth.push_back((peak - before) / 1024.0);
        std::printf(
            "run %d: upload %.0f MB/s, download %.0f MB/s, server RSS %.1f -> peak %.1f MiB\n",
            run + 1,
            up.back(),
            down.back(),
            before / 1024.0,
            peak / 1024.0);
    }
    QFile loadavg(QStringLiteral("/proc/loadavg"));
    loadavg.open(QIODevice::ReadOnly);
    std::printf("%lld MiB, median of %d runs: upload %.0f MB/s, download %.0f MB/s, server RSS "
                "growth %.1f MiB (max %.1f); load average %s",
        size / (1024 * 1024),
        runs,
        median(up),
        median(down),
        median(growth),
        *std::max_element(growth.begin(), growth.end()),
        loadavg.readAll().constData());
    return 0;
}
