#include "staticfiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestStaticFiles : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void resolvesFilesInsideTheFolder_data();
    void resolvesFilesInsideTheFolder();
    void refusesEscapes_data();
    void refusesEscapes();
    void contentTypeFollowsExtension_data();
    void contentTypeFollowsExtension();
    void respondsToGetAndHead();
    void answersConditionalRequests_data();
    void answersConditionalRequests();
    void refusesOtherMethodsAndMalformedRequests_data();
    void refusesOtherMethodsAndMalformedRequests();

private:
    void writeFile(const QString &path, const QByteArray &content);

    QTemporaryDir dataDir;
    QString root;
};

void TestStaticFiles::writeFile(const QString &path, const QByteArray &content)
{
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

void TestStaticFiles::initTestCase()
{
    QVERIFY(dataDir.isValid());
    root = dataDir.filePath(QStringLiteral("static"));
    writeFile(root + QStringLiteral("/default.png"), "PNG!");
    writeFile(root + QStringLiteral("/avatars/u1-ab.jpg"), "JPEG");
    writeFile(root + QStringLiteral("/with space.png"), "SPACE");
    writeFile(root + QStringLiteral("/.hidden"), "hidden");
    writeFile(dataDir.filePath(QStringLiteral("ferrow.sqlite")), "secret");
    writeFile(dataDir.filePath(QStringLiteral("static-other/x.png")), "sibling");
    QVERIFY(QFile::link(
        dataDir.filePath(QStringLiteral("ferrow.sqlite")), root + QStringLiteral("/link.png")));
    QVERIFY(QFile::link(dataDir.path(), root + QStringLiteral("/up")));
}

void TestStaticFiles::resolvesFilesInsideTheFolder_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QString>("file");

    QTest::newRow("top level") << QByteArray("/static/default.png") << "default.png";
    QTest::newRow("sub folder") << QByteArray("/static/avatars/u1-ab.jpg") << "avatars/u1-ab.jpg";
    QTest::newRow("query ignored") << QByteArray("/static/default.png?v=2") << "default.png";
    QTest::newRow("encoded space") << QByteArray("/static/with%20space.png") << "with space.png";
}

void TestStaticFiles::resolvesFilesInsideTheFolder()
{
    QFETCH(QByteArray, target);
    QFETCH(QString, file);
    QCOMPARE(staticfiles::resolve(target, root),
        QFileInfo(root + QLatin1Char('/') + file).canonicalFilePath());
}

void TestStaticFiles::refusesEscapes_data()
{
    QTest::addColumn<QByteArray>("target");

    QTest::newRow("dot dot") << QByteArray("/static/../ferrow.sqlite");
    QTest::newRow("dot dot deeper") << QByteArray("/static/avatars/../../ferrow.sqlite");
    QTest::newRow("dot dot even when it stays inside")
        << QByteArray("/static/avatars/../default.png");
    QTest::newRow("encoded dots") << QByteArray("/static/%2e%2e/ferrow.sqlite");
    QTest::newRow("encoded upper-case dots and slash")
        << QByteArray("/static/%2E%2E%2Fferrow.sqlite");
    QTest::newRow("encoded backslash") << QByteArray("/static/..%5cferrow.sqlite");
    QTest::newRow("double encoded dots") << QByteArray("/static/%252e%252e/ferrow.sqlite");
    QTest::newRow("absolute path") << QByteArray("/static//etc/passwd");
    QTest::newRow("encoded absolute path") << QByteArray("/static/%2fetc%2fpasswd");
    QTest::newRow("single dot") << QByteArray("/static/./default.png");
    QTest::newRow("hidden file") << QByteArray("/static/.hidden");
    QTest::newRow("NUL byte") << QByteArray("/static/default.png%00.txt");
    QTest::newRow("symbolic link to a file outside") << QByteArray("/static/link.png");
    QTest::newRow("symbolic link to a folder outside") << QByteArray("/static/up/ferrow.sqlite");
    QTest::newRow("sibling folder with the same prefix") << QByteArray("/static-other/x.png");
    QTest::newRow("outside the prefix") << QByteArray("/ferrow.sqlite");
    QTest::newRow("the folder itself") << QByteArray("/static/");
    QTest::newRow("a folder") << QByteArray("/static/avatars");
    QTest::newRow("missing file") << QByteArray("/static/nothing.png");
    QTest::newRow("absolute URL") << QByteArray("http://host/static/default.png");
}

void TestStaticFiles::refusesEscapes()
{
    QFETCH(QByteArray, target);
    QCOMPARE(staticfiles::resolve(target, root), QString());
    const QByteArray response =
        staticfiles::respond("GET " + target + " HTTP/1.1\r\nHost: x", root);
    QVERIFY2(response.startsWith("HTTP/1.1 404 "), response.constData());
    QVERIFY(!response.contains("secret"));
}

void TestStaticFiles::contentTypeFollowsExtension_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QByteArray>("type");

    QTest::newRow("png") << "a.png" << QByteArray("image/png");
    QTest::newRow("upper-case PNG") << "a.PNG" << QByteArray("image/png");
    QTest::newRow("jpg") << "a.jpg" << QByteArray("image/jpeg");
    QTest::newRow("jpeg") << "a.jpeg" << QByteArray("image/jpeg");
    QTest::newRow("gif") << "a.gif" << QByteArray("image/gif");
    QTest::newRow("webp") << "a.webp" << QByteArray("image/webp");
    QTest::newRow("svg") << "a.svg" << QByteArray("image/svg+xml");
    QTest::newRow("unknown") << "a.bin" << QByteArray("application/octet-stream");
    QTest::newRow("none") << "README" << QByteArray("application/octet-stream");
}

void TestStaticFiles::contentTypeFollowsExtension()
{
    QFETCH(QString, fileName);
    QFETCH(QByteArray, type);
    QCOMPARE(staticfiles::contentType(fileName), type);
}

void TestStaticFiles::respondsToGetAndHead()
{
    const QFileInfo file(root + QStringLiteral("/avatars/u1-ab.jpg"));
    const QByteArray head = "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: 4\r\n"
                            "X-Content-Type-Options: nosniff\r\nConnection: close\r\nETag: "
        + staticfiles::entityTag(file)
        + "\r\nLast-Modified: " + staticfiles::httpDate(file.lastModified()) + "\r\n\r\n";
    QCOMPARE(staticfiles::respond("GET /static/avatars/u1-ab.jpg HTTP/1.1\r\nHost: x", root),
        head + "JPEG");
    QCOMPARE(
        staticfiles::respond("HEAD /static/avatars/u1-ab.jpg HTTP/1.1\r\nHost: x", root), head);
    QCOMPARE(staticfiles::respond("GET /static/default.png HTTP/1.0", root).right(4),
        QByteArray("PNG!"));
}

void TestStaticFiles::answersConditionalRequests_data()
{
    QTest::addColumn<QByteArray>("headers");
    QTest::addColumn<QByteArray>("status");

    // {etag} and {date} stand for what the first answer carried; {earlier} and {later} for a
    // second before and after its date.
    QTest::newRow("no validators") << QByteArray() << QByteArray("200");
    QTest::newRow("same tag") << QByteArray("If-None-Match: {etag}") << QByteArray("304");
    QTest::newRow("tag among others")
        << QByteArray("if-none-match: \"x\", {etag}") << QByteArray("304");
    QTest::newRow("weak form of the tag")
        << QByteArray("If-None-Match: W/{etag}") << QByteArray("304");
    QTest::newRow("any tag") << QByteArray("If-None-Match: *") << QByteArray("304");
    QTest::newRow("other tag") << QByteArray("If-None-Match: \"0-0\"") << QByteArray("200");
    QTest::newRow("same date") << QByteArray("If-Modified-Since: {date}") << QByteArray("304");
    QTest::newRow("later date") << QByteArray("If-Modified-Since: {later}") << QByteArray("304");
    QTest::newRow("earlier date") << QByteArray("If-Modified-Since: {earlier}")
                                  << QByteArray("200");
    QTest::newRow("other tag wins over a matching date")
        << QByteArray("If-None-Match: \"0-0\"\r\nIf-Modified-Since: {date}") << QByteArray("200");
    QTest::newRow("date that is none")
        << QByteArray("If-Modified-Since: yesterday") << QByteArray("200");
}

void TestStaticFiles::answersConditionalRequests()
{
    QFETCH(QByteArray, headers);
    QFETCH(QByteArray, status);
    const QByteArray request = "GET /static/default.png HTTP/1.1\r\nHost: x";
    const QByteArray first = staticfiles::respond(request, root);
    const QByteArray firstHead = first.left(first.indexOf("\r\n\r\n"));
    const QByteArray etag = staticfiles::headerValue(firstHead, "ETag");
    const QByteArray date = staticfiles::headerValue(firstHead, "Last-Modified");
    QVERIFY(etag.startsWith('"') && etag.endsWith('"'));
    const QDateTime modified = staticfiles::parseHttpDate(date);
    QCOMPARE(modified.toSecsSinceEpoch(),
        QFileInfo(root + QStringLiteral("/default.png")).lastModified().toSecsSinceEpoch());

    headers.replace("{etag}", etag)
        .replace("{date}", date)
        .replace("{earlier}", staticfiles::httpDate(modified.addSecs(-1)))
        .replace("{later}", staticfiles::httpDate(modified.addSecs(1)));
    const QByteArray response =
        staticfiles::respond(headers.isEmpty() ? request : request + "\r\n" + headers, root);
    QVERIFY2(response.startsWith("HTTP/1.1 " + status + ' '), response.constData());
    const int headEnd = response.indexOf("\r\n\r\n");
    const QByteArray head = response.left(headEnd);
    QCOMPARE(staticfiles::headerValue(head, "ETag"), etag);
    QCOMPARE(staticfiles::headerValue(head, "Last-Modified"), date);
    QCOMPARE(response.mid(headEnd + 4), status == "304" ? QByteArray() : QByteArray("PNG!"));
}

void TestStaticFiles::refusesOtherMethodsAndMalformedRequests_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<int>("status");

    QTest::newRow("POST") << QByteArray("POST /static/default.png HTTP/1.1") << 405;
    QTest::newRow("PUT") << QByteArray("PUT /static/default.png HTTP/1.1") << 405;
    QTest::newRow("DELETE") << QByteArray("DELETE /static/default.png HTTP/1.1") << 405;
    QTest::newRow("lower-case get") << QByteArray("get /static/default.png HTTP/1.1") << 405;
    QTest::newRow("no version") << QByteArray("GET /static/default.png") << 400;
    QTest::newRow("not HTTP") << QByteArray("GET /static/default.png SPDY/3") << 400;
    QTest::newRow("garbage") << QByteArray("\x01\x02\x03") << 400;
    QTest::newRow("empty") << QByteArray() << 400;
}

void TestStaticFiles::refusesOtherMethodsAndMalformedRequests()
{
    QFETCH(QByteArray, head);
    QFETCH(int, status);
    const QByteArray response = staticfiles::respond(head, root);
    QVERIFY2(
        response.startsWith("HTTP/1.1 " + QByteArray::number(status) + ' '), response.constData());
    QVERIFY(!response.contains("PNG!"));
    const int length = response.indexOf("Content-Length: ");
    QVERIFY(length > 0);
    const int bodyStart = response.indexOf("\r\n\r\n") + 4;
    QCOMPARE(response.mid(length + 16, response.indexOf("\r\n", length) - length - 16).toInt(),
        response.size() - bodyStart);
    if (status == 405)
        QVERIFY(response.contains("\r\nAllow: GET, HEAD\r\n"));
}

QTEST_APPLESS_MAIN(TestStaticFiles)

#include "tst_staticfiles.moc"
