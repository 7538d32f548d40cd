#include "model/messagetext.h"

#include <QtTest>

class TestMessageText : public QObject
{
    Q_OBJECT

private slots:
    void uploadRule_data();
    void uploadRule();
    void replyPreview_data();
    void replyPreview();
    void privateChatIdSortsCaseSensitively_data();
    void privateChatIdSortsCaseSensitively();
};

void TestMessageText::uploadRule_data()
{
    QTest::addColumn<QString>("content");
    QTest::addColumn<QString>("shown");

    const QString base = QStringLiteral("http://h:8443/static/uploads/");
    QTest::newRow("plain text") << QStringLiteral("hello there") << QStringLiteral("hello there");
    QTest::newRow("upload of a png") << base + QStringLiteral("a.png") << QStringLiteral("[Image]");
    QTest::newRow("upload of a jpeg")
        << base + QStringLiteral("a.jpeg") << QStringLiteral("[Image]");
    QTest::newRow("upload of a webp")
        << base + QStringLiteral("a.webp") << QStringLiteral("[Image]");
    QTest::newRow("upload of a pdf")
        << base + QStringLiteral("report.pdf") << QStringLiteral("[report.pdf]");
    QTest::newRow("extension case matters")
        << base + QStringLiteral("a.PNG") << QStringLiteral("[a.PNG]");
    QTest::newRow("last segment without a dot")
        << QStringLiteral("http://h:8443/static/upl.d/file") << QStringLiteral("[Image]");
    QTest::newRow("no dot at all")
        << QStringLiteral("http://h/static/upload/x") << QStringLiteral("[Image]");
    QTest::newRow("trailing slash gives an empty name")
        << QStringLiteral("http://h.io/static/upload/") << QStringLiteral("[Image]");
    QTest::newRow("https counts as http")
        << QStringLiteral("https://h/static/upl/b.gif") << QStringLiteral("[Image]");
    QTest::newRow("leading spaces still recognised")
        << (QStringLiteral("   ") + base + QStringLiteral("a.png")) << QStringLiteral("[Image]");
    QTest::newRow("ordinary content keeps its spaces")
        << QStringLiteral("  hi  ") << QStringLiteral("  hi  ");
    QTest::newRow("word before the link")
        << (QStringLiteral("see ") + base + QStringLiteral("a.png"))
        << (QStringLiteral("see ") + base + QStringLiteral("a.png"));
    QTest::newRow("link and a second link") << (base + QStringLiteral("a.png\n  http://x/y"))
                                            << (base + QStringLiteral("a.png [Image]"));
    QTest::newRow("link and a word")
        << (base + QStringLiteral("a.png caption")) << (base + QStringLiteral("a.png caption"));
    QTest::newRow("three parts") << (base + QStringLiteral("a.png http://x http://y"))
                                 << (base + QStringLiteral("a.png http://x http://y"));
    QTest::newRow("other server path") << QStringLiteral("http://h/static/avatars/a.png")
                                       << QStringLiteral("http://h/static/avatars/a.png");
    QTest::newRow("case of the path matters") << QStringLiteral("http://h/Static/upload/a.png")
                                              << QStringLiteral("http://h/Static/upload/a.png");
}

void TestMessageText::uploadRule()
{
    QFETCH(QString, content);
    QTEST(displayTextForContent(content), "shown");
}

void TestMessageText::replyPreview_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("preview");

    QTest::newRow("plain text kept untrimmed") << QStringLiteral(" hi ") << QStringLiteral(" hi ");
    QTest::newRow("not found") << QString() << QStringLiteral("[Original message]");
    QTest::newRow("only spaces stay") << QStringLiteral("   ") << QStringLiteral("   ");
    QTest::newRow("single upload link, any file")
        << QStringLiteral("http://h/static/uploads/report.pdf") << QStringLiteral("[Image]");
    QTest::newRow("link and a second link") << QStringLiteral("http://h/static/upl/a.png http://x")
                                            << QStringLiteral("http://h/static/upl/a.png [Image]");
    QTest::newRow("link and a word") << QStringLiteral("http://h/static/upl/a.png words")
                                     << QStringLiteral("http://h/static/upl/a.png words");
    QTest::newRow("file marker") << QStringLiteral("[FILE: anything at all]")
                                 << QStringLiteral("[Image]");
    QTest::newRow("file marker with spaces around")
        << QStringLiteral("  [FILE:x]  ") << QStringLiteral("[Image]");
    QTest::newRow("file marker without the bracket")
        << QStringLiteral("[FILE:x") << QStringLiteral("[FILE:x");
    QTest::newRow("already a short form") << QStringLiteral("[Image]") << QStringLiteral("[Image]");
}

void TestMessageText::replyPreview()
{
    QFETCH(QString, text);
    QTEST(replyPreviewFromText(text), "preview");
}

void TestMessageText::privateChatIdSortsCaseSensitively_data()
{
    QTest::addColumn<QString>("me");
    QTest::addColumn<QString>("other");
    QTest::addColumn<QString>("id");
    QTest::newRow("already in order")
        << QStringLiteral("a1") << QStringLiteral("b2") << QStringLiteral("a1_b2");
    QTest::newRow("reversed") << QStringLiteral("b2") << QStringLiteral("a1")
                              << QStringLiteral("a1_b2");
    QTest::newRow("capitals sort first")
        << QStringLiteral("u1") << QStringLiteral("Z9") << QStringLiteral("Z9_u1");
}

void TestMessageText::privateChatIdSortsCaseSensitively()
{
    QFETCH(QString, me);
    QFETCH(QString, other);
    QTEST(privateChatId(me, other), "id");
}

QTEST_APPLESS_MAIN(TestMessageText)
#include "tst_messagetext.moc"
