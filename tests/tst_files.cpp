#include "model/itemroles.h"
#include "model/message.h"
#include "session.h"
#include "session/filedownloads.h"
#include "testserver.h"
#include "view/avatarimage.h"
#include "view/messagedelegate.h"
#include "view/picturecache.h"
#include "view/pictureviewer.h"

#include <QClipboard>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QJsonObject>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QNetworkAccessManager>
#include <QPainter>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QtTest>

namespace
{

QByteArray corpusFile(const QString &name)
{
    QFile file(QStringLiteral(FERROW_CORPUS_DIR "/") + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

struct FileRow {
    QString text;
    QString marker;
    QSize picture;
    QString card;
};

// Paints one message row 600 pixels wide, with or without the roles of its file.
QImage render(MessageDelegate &delegate, const FileRow &row, bool withFileRoles)
{
    QStandardItemModel model;
    auto *item = new QStandardItem;
    item->setData(row.text, TextRole);
    item->setData(QStringLiteral("Bob"), SenderNameRole);
    item->setData(QVariant::fromValue<qint64>(1700000000), TimestampRole);
    item->setData(false, IsOwnRole);
    item->setData(QStringLiteral("m1"), MessageIdRole);
    if (withFileRoles) {
        item->setData(row.marker, FileMarkerRole);
        if (row.picture.isValid())
            item->setData(row.picture, PictureSizeRole);
        if (!row.card.isEmpty())
            item->setData(row.card, FileCardRole);
    }
    model.appendRow(item);
    QStyleOptionViewItem option;
    option.rect = QRect(0, 0, 600, 1);
    option.rect.setHeight(delegate.sizeHint(option, item->index()).height());
    QImage image(option.rect.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    QPainter painter(&image);
    delegate.paint(&painter, option, item->index());
    return image;
}

} // namespace

class TestFiles : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void picturesDecodeOnlyWithinBounds_data();
    void picturesDecodeOnlyWithinBounds();
    void downloadsNeverOverwrite_data();
    void downloadsNeverOverwrite();
    void thumbnailsComeOnceFromTheServerThenFromDisk_data();
    void thumbnailsComeOnceFromTheServerThenFromDisk();
    void fileRowsLookAsBeforeUnlessPicturesShown_data();
    void fileRowsLookAsBeforeUnlessPicturesShown();
    void pastedOrDroppedFileIsSentWithTheCaption_data();
    void pastedOrDroppedFileIsSentWithTheCaption();
};

void TestFiles::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestFiles::picturesDecodeOnlyWithinBounds_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QSize>("size");

    const QSize refused;
    QTest::newRow("PNG") << "photo.png" << QSize(8, 6);
    QTest::newRow("progressive JPEG") << "progressive.jpg" << QSize(8, 6);
    QTest::newRow("animated GIF shows its first frame") << "animated.gif" << QSize(4, 3);
    QTest::newRow("PNG claiming 100000 x 100000") << "huge-header.png" << refused;
    QTest::newRow("HTML named .png") << "html.png" << refused;
    QTest::newRow("SVG is never rendered") << "drawing.svg" << refused;
    QTest::newRow("truncated JPEG") << "truncated.jpg" << refused;
}

void TestFiles::picturesDecodeOnlyWithinBounds()
{
    QFETCH(QString, file);
    QFETCH(QSize, size);
    const QByteArray body = corpusFile(file);
    QVERIFY(!body.isEmpty());

    // The viewer decodes under the same bounds and says so when it cannot.
    PictureViewer viewer(file);
    viewer.setBody(body);
    QCOMPARE(viewer.hasPicture(), size.isValid());
    const std::optional<QImage> picture = avatar::decodePicture(body, avatar::messagePictureLimits);
    QCOMPARE(picture.has_value(), size.isValid());
    if (!picture)
        return;
    QCOMPARE(picture->size(), size);
    if (file.endsWith(QLatin1String(".gif")))
        QCOMPARE(picture->pixelColor(0, 0), QColor(Qt::white));
}

void TestFiles::downloadsNeverOverwrite_data()
{
    QTest::addColumn<QString>("name");
    // Files already in the folder, separated by "|".
    QTest::addColumn<QString>("names");
    QTest::addColumn<QString>("saved");

    QTest::newRow("free name") << "report.pdf"
                               << ""
                               << "report.pdf";
    QTest::newRow("taken once") << "report.pdf"
                                << "report.pdf"
                                << "report (1).pdf";
    QTest::newRow("taken twice") << "report.pdf"
                                 << "report.pdf|report (1).pdf"
                                 << "report (2).pdf";
    QTest::newRow("two suffixes") << "logs.tar.gz"
                                  << "logs.tar.gz"
                                  << "logs (1).tar.gz";
    QTest::newRow("no suffix") << "README"
                               << "README"
                               << "README (1)";
    QTest::newRow("path in the name") << "../../etc/passwd"
                                      << ""
                                      << "_.._etc_passwd";
    QTest::newRow("hidden name") << ".bashrc"
                                 << ""
                                 << "bashrc";
    QTest::newRow("empty name") << ""
                                << "download"
                                << "download (1)";
}

void TestFiles::downloadsNeverOverwrite()
{
    QFETCH(QString, name);
    QFETCH(QString, names);
    QFETCH(QString, saved);
    const QStringList existing = names.split(QLatin1Char('|'), Qt::SkipEmptyParts);
    TestServer server;
    QVERIFY(server.start());
    server.routes.insert("/static/upload/ab/f", { 200, "application/pdf", "%PDF-new" });
    QTemporaryDir folder;
    for (const QString &taken : existing) {
        QFile file(folder.filePath(taken));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("old");
    }
    QNetworkAccessManager network;
    FileDownloads downloads(&network);
    QSignalSpy done(&downloads, &FileDownloads::saved);
    downloads.save(QStringLiteral("k"),
        QUrl(server.baseUrl() + QStringLiteral("/static/upload/ab/f")),
        QStringLiteral("h1"),
        folder.path(),
        name);
    QVERIFY(done.wait());
    QCOMPARE(done.first().at(1).toString(), folder.filePath(saved));
    QCOMPARE(server.requests.first().headers.value("authorization"), QByteArray("Bearer h1"));
    QFile file(folder.filePath(saved));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("%PDF-new"));
    for (const QString &taken : existing) {
        QFile old(folder.filePath(taken));
        QVERIFY(old.open(QIODevice::ReadOnly));
        QCOMPARE(old.readAll(), QByteArray("old"));
    }
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files).size(), existing.size() + 1);
}

void TestFiles::thumbnailsComeOnceFromTheServerThenFromDisk_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("shown");

    QTest::newRow("PNG") << "photo.png" << 200 << true;
    QTest::newRow("JPEG") << "progressive.jpg" << 200 << true;
    QTest::newRow("HTML named .png") << "html.png" << 200 << false;
    QTest::newRow("truncated JPEG") << "truncated.jpg" << 200 << false;
    QTest::newRow("gone from the server") << "photo.png" << 404 << false;
}

void TestFiles::thumbnailsComeOnceFromTheServerThenFromDisk()
{
    QFETCH(QString, file);
    QFETCH(int, status);
    QFETCH(bool, shown);
    TestServer server;
    QVERIFY(server.start());
    const QByteArray path = "/static/upload/ab/" + file.toUtf8();
    server.routes.insert(path, { status, "image/png", corpusFile(file) });
    const QString url = QString::fromUtf8(path);
    const QSize size(4, 3);
    QTemporaryDir folder;
    QNetworkAccessManager network;
    FileDownloads downloads(&network);
    {
        PictureCache cache(&downloads, folder.path());
        QSignalSpy ready(&cache, &PictureCache::ready);
        QVERIFY(cache.thumbnail(url, size, 1.0, QStringLiteral("h1")).isNull());
        QTRY_COMPARE(server.requestCount(path), 1);
        QCOMPARE(!ready.isEmpty() || ready.wait(1000), shown);
        // Asked again at every paint: never fetched twice, never shown when it failed.
        QCOMPARE(cache.thumbnail(url, size, 1.0, QStringLiteral("h1")).size(),
            shown ? size : QSize(0, 0));
        QCOMPARE(server.requestCount(path), 1);
        QCOMPARE(cache.diskBytes() > 0, shown);
    }
    // A later session reads it from disk.
    server.routes.remove(path);
    PictureCache later(&downloads, folder.path());
    QSignalSpy ready(&later, &PictureCache::ready);
    QVERIFY(later.thumbnail(url, size, 1.0, QStringLiteral("h1")).isNull());
    QCOMPARE(ready.wait(1000), shown);
    QCOMPARE(server.requestCount(path), shown ? 1 : 2);
}

void TestFiles::fileRowsLookAsBeforeUnlessPicturesShown_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("marker");
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<QString>("card");

    QTest::newRow("captioned picture") << "Look [Image]"
                                       << "[Image]" << QSize(320, 240) << "";
    QTest::newRow("picture alone") << "[cat.png]"
                                   << "[cat.png]" << QSize(100, 300) << "";
    QTest::newRow("file") << "[report.pdf]"
                          << "[report.pdf]" << QSize() << "report.pdf\n12 KB";
}

void TestFiles::fileRowsLookAsBeforeUnlessPicturesShown()
{
    QFETCH(QString, text);
    QFETCH(QString, marker);
    QFETCH(QSize, picture);
    QFETCH(QString, card);
    const FileRow row { text, marker, picture, card };
    MessageDelegate delegate;
    QSignalSpy needed(&delegate, &MessageDelegate::pictureNeeded);

    // Off (the default), a file's row is the row of its text, pixel for pixel.
    const QImage plain = render(delegate, row, false);
    QCOMPARE(render(delegate, row, true), plain);
    QCOMPARE(needed.size(), 0);

    // On, the file takes the marker's place: the row grows by it, and a picture is asked for.
    delegate.setShowPictures(true);
    const QImage shown = render(delegate, row, true);
    const int mediaHeight = picture.isValid() ? picture.height() : 44;
    QVERIFY(shown.height() >= plain.height() + mediaHeight - 30);
    QCOMPARE(needed.size(), picture.isValid() ? 1 : 0);
    delegate.setShowPictures(false);
    QCOMPARE(render(delegate, row, true), plain);
}

void TestFiles::pastedOrDroppedFileIsSentWithTheCaption_data()
{
    QTest::addColumn<bool>("pasted");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("bodyStart");

    QTest::newRow("pasted screenshot")
        << true << QByteArray("Pasted picture ") << QByteArray("\x89PNG");
    QTest::newRow("dropped PDF") << false << QByteArray("notes.pdf") << QByteArray("%PDF");
}

void TestFiles::pastedOrDroppedFileIsSentWithTheCaption()
{
    QFETCH(bool, pasted);
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, bodyStart);
    Session session;
    QVERIFY(session.connected());
    QVERIFY(session.logIn(QStringLiteral("u1"), QStringLiteral("alice")));
    session.push(R"({"type":"chat_history","chats":[{"chatId":"g1","chatName":"Team",
        "chatType":"group","members":["u1","u2"],"messages":[]}]})");
    QListWidget *chats = session.probe->chatListWidget();
    emit chats->itemClicked(chats->item(0));
    session.server.takeFrames();
    session.server.routes.insert("/upload",
        { 201,
            "application/json",
            R"({"url":"/static/upload/ab/f.png","name":"f","size":9,"mime":"image/png",)"
            R"("width":64,"height":48})" });

    QTemporaryDir folder;
    if (pasted) {
        QImage screenshot(64, 48, QImage::Format_RGB32);
        screenshot.fill(Qt::darkCyan);
        QGuiApplication::clipboard()->setImage(screenshot);
        QTest::keyClick(session.probe->messageInput(), Qt::Key_V, Qt::ControlModifier);
    } else {
        QFile pdf(folder.filePath(QStringLiteral("notes.pdf")));
        QVERIFY(pdf.open(QIODevice::WriteOnly));
        pdf.write("%PDF-1.4 notes");
        pdf.close();
        QMimeData data;
        data.setUrls({ QUrl::fromLocalFile(pdf.fileName()) });
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        // As a real drag: the drop goes where the entering drag was taken.
        QDragEnterEvent enter(
            QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(session.probe->chatArea(), &enter);
        QCoreApplication::sendEvent(session.probe->chatArea(), &drop);
    }
    QCOMPARE(session.probe->attachmentStrip()->files().size(), 1);
    QVERIFY(session.probe->messageInput()->text().isEmpty());

    session.probe->messageInput()->setText(QStringLiteral("see this"));
    session.probe->sendButton()->click();
    QVERIFY(session.probe->attachmentStrip()->files().isEmpty());
    QListWidget *rows = session.probe->messageListWidget();
    QCOMPARE(rows->count(), 1);
    QCOMPARE(rows->item(0)->data(TextRole).toString(), QStringLiteral("see this [Image]"));
    QTRY_COMPARE(session.server.requests.size(), 1);
    const TestServer::HttpRequest upload = session.server.requests.first();
    QVERIFY(QUrl::fromPercentEncoding(upload.path)
                .toUtf8()
                .startsWith("/upload?chatId=g1&name=" + name));
    QVERIFY(upload.body.startsWith(bodyStart));
    QVERIFY(session.server.waitForFrames(1));
    const QJsonObject content =
        session.server.frames.first().value(QLatin1String("content")).toObject();
    QCOMPARE(content.value(QLatin1String("text")).toString(), QStringLiteral("see this"));
    QCOMPARE(content.value(QLatin1String("file")).toObject().value(QLatin1String("url")).toString(),
        QStringLiteral("/static/upload/ab/f.png"));
    // Uploaded, the row has no bar any more, and its marker opens the file.
    QVERIFY(!rows->item(0)->data(UploadProgressRole).isValid());
    QCOMPARE(rows->item(0)->data(FileMarkerRole).toString(), QStringLiteral("[Image]"));
}

QTEST_MAIN(TestFiles)
#include "tst_files.moc"
