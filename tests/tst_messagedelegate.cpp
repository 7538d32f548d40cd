#include "model/itemroles.h"
#include "model/message.h"
#include "session.h"
#include "view/messagedelegate.h"

#include <QImage>
#include <QJsonArray>
#include <QListWidget>
#include <QPainter>
#include <QStandardItemModel>
#include <QStandardPaths>
#include <QTextDocument>
#include <QtTest>
#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace
{

// Times are compared as text: the zone and the AM/PM words must not depend on the machine, and
// both are read from the environment before the application starts.
const bool clockFixed = [] {
    qputenv("TZ", "UTC");
    qputenv("LC_ALL", "C");
    return true;
}();

constexpr int viewWidth = 600;
// Rows are painted below a row that is already there, so every vertical position must include
// the row's top.
constexpr int rowTop = 40;
const QColor viewBackground(0x12, 0x34, 0x56);
// 2023-11-14 22:13:20 UTC.
constexpr qint64 someTime = 1700000000;

const QColor gold(QStringLiteral("#FFD700"));

struct Row {
    QString text = QStringLiteral("hi");
    QString sender = QStringLiteral("Bob");
    bool isOwn = false;
    int status = Sent;
    QString id = QStringLiteral("m1");
    qint64 timestamp = someTime;
    qint64 editedAt = 0;
    QString replyToId;
    QString replyPreview;
    QString replySender;
    QIcon avatar;
};

struct Layout {
    QRect bubble;
    QRect text;
    QRect sender;
    QRect avatar;
    QRect reply;
    int height = 0;
};

QFont segoe(int pointSize, int weight = QFont::Normal, bool italic = false)
{
    QFont font(QStringLiteral("Segoe UI"), pointSize, weight);
    font.setItalic(italic);
    return font;
}

// The view's font, of another family than the one the bubbles name for their own texts, so that
// a text drawn in the wrong one shows.
QFont viewFont()
{
    return QFont(QStringLiteral("DejaVu Serif"), 9);
}

QFont viewFont(int pixelSize, int weight = QFont::Normal)
{
    QFont font = viewFont();
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}

QModelIndex addRow(QStandardItemModel &model, const Row &row)
{
    auto *item = new QStandardItem;
    item->setData(row.text, TextRole);
    item->setData(row.sender, SenderNameRole);
    item->setData(row.timestamp, TimestampRole);
    item->setData(row.isOwn, IsOwnRole);
    item->setData(row.status, StatusRole);
    item->setData(row.id, MessageIdRole);
    item->setData(row.editedAt, EditedAtRole);
    item->setData(row.replyToId, ReplyToIdRole);
    item->setData(row.replyPreview, ReplyPreviewRole);
    item->setData(row.replySender, ReplySenderRole);
    if (!row.avatar.isNull())
        item->setData(row.avatar, Qt::DecorationRole);
    model.appendRow(item);
    return item->index();
}

// The row's rectangles in viewport coordinates, as painted at rowTop.
Layout layoutOf(const MessageDelegate &delegate, const Row &row, int top = rowTop)
{
    Layout layout;
    const bool hasReply = !row.replyToId.isEmpty();
    delegate.getBubbleLayout(row.text,
        row.sender,
        row.isOwn,
        viewWidth,
        layout.bubble,
        layout.text,
        layout.sender,
        layout.avatar,
        layout.height,
        hasReply,
        hasReply ? row.replyPreview : QString(),
        layout.reply);
    layout.bubble.translate(0, top);
    layout.text.translate(0, top);
    layout.sender.translate(0, top);
    layout.avatar.translate(0, top);
    layout.reply.translate(0, top);
    return layout;
}

QStyleOptionViewItem optionFor(const MessageDelegate &delegate, const QModelIndex &index)
{
    QStyleOptionViewItem option;
    option.font = viewFont();
    option.rect = QRect(0, rowTop, viewWidth, 0);
    option.rect.setHeight(delegate.sizeHint(option, index).height());
    return option;
}

QImage render(const MessageDelegate &delegate, const Row &row)
{
    QStandardItemModel model;
    const QModelIndex index = addRow(model, row);
    const QStyleOptionViewItem option = optionFor(delegate, index);
    QImage image(viewWidth, option.rect.bottom() + 21, QImage::Format_ARGB32_Premultiplied);
    image.fill(viewBackground);
    QPainter painter(&image);
    delegate.paint(&painter, option, index);
    return image;
}

int difference(const QColor &a, const QColor &b)
{
    return std::max({ std::abs(a.red() - b.red()),
        std::abs(a.green() - b.green()),
        std::abs(a.blue() - b.blue()) });
}

QColor mix(const QColor &a, const QColor &b)
{
    return QColor((a.red() + b.red()) / 2, (a.green() + b.green()) / 2, (a.blue() + b.blue()) / 2);
}

bool near(const QColor &actual, const QColor &expected, int tolerance = 3)
{
    if (difference(actual, expected) <= tolerance)
        return true;
    qWarning() << "colour" << actual.name() << "expected" << expected.name();
    return false;
}

QColor pixel(const QImage &image, int x, int y)
{
    return image.pixelColor(x, y);
}

// Pixels that differ from the background: whatever was drawn there.
QRect inkBounds(
    const QImage &image, const QRect &region, const QColor &background, int threshold = 40)
{
    QRect bounds;
    for (int y = region.top(); y <= region.bottom(); ++y) {
        for (int x = region.left(); x <= region.right(); ++x) {
            if (difference(pixel(image, x, y), background) > threshold)
                bounds |= QRect(x, y, 1, 1);
        }
    }
    return bounds;
}

QColor strongestInk(const QImage &image, const QRect &region, const QColor &background)
{
    QColor strongest = background;
    for (int y = region.top(); y <= region.bottom(); ++y) {
        for (int x = region.left(); x <= region.right(); ++x) {
            if (difference(pixel(image, x, y), background) > difference(strongest, background))
                strongest = pixel(image, x, y);
        }
    }
    return strongest;
}

// Antialiased text blends its colour into the background; the most strongly inked pixel must lie
// on the line between the two, well towards the text colour.
bool inkedIn(const QImage &image, const QRect &region, const QColor &background, const QColor &ink)
{
    const QColor found = strongestInk(image, region, background);
    const int channels[3][2] = { { background.red(), ink.red() },
        { background.green(), ink.green() },
        { background.blue(), ink.blue() } };
    const int foundChannels[3] = { found.red(), found.green(), found.blue() };
    int widest = 0;
    for (int c = 1; c < 3; ++c) {
        if (std::abs(channels[c][1] - channels[c][0])
            > std::abs(channels[widest][1] - channels[widest][0]))
            widest = c;
    }
    const double share = double(foundChannels[widest] - channels[widest][0])
        / (channels[widest][1] - channels[widest][0]);
    bool ok = share > 0.5 && share < 1.05;
    for (int c = 0; c < 3; ++c) {
        const double expected = channels[c][0] + share * (channels[c][1] - channels[c][0]);
        ok = ok && std::abs(foundChannels[c] - expected) <= 12;
    }
    if (!ok)
        qWarning() << "ink" << found.name() << "is not" << ink.name() << "on" << background.name();
    return ok;
}

QColor fillOf(bool isOwn, bool dark)
{
    if (dark)
        return QColor(isOwn ? QStringLiteral("#2b5278") : QStringLiteral("#2d2d2d"));
    return isOwn ? QColor(QStringLiteral("#EEFFDE")) : QColor(Qt::white);
}

QString timeText(qint64 timestamp)
{
    return QDateTime::fromSecsSinceEpoch(timestamp).toString(QStringLiteral("hh:mm AP"));
}

} // namespace

class TestMessageDelegate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void layoutPlacesBubbleAndAreas_data();
    void layoutPlacesBubbleAndAreas();
    void sizeHintIsTheLayoutHeight_data();
    void sizeHintIsTheLayoutHeight();

    void bubbleFillAndOutlineFollowThemeAndHighlight_data();
    void bubbleFillAndOutlineFollowThemeAndHighlight();
    void avatarBesideOthersMessagesOnly_data();
    void avatarBesideOthersMessagesOnly();
    void noSelectionBackground();
    void senderNameInRedWithTagPill_data();
    void senderNameInRedWithTagPill();
    void textColourFollowsTheme_data();
    void textColourFollowsTheme();
    void textStaysInItsRectangle_data();
    void textStaysInItsRectangle();
    void markupShownLiterally();
    void overlongTextIsShownCut();
    void lineBreakStartsNewLine();
    void replyQuoteShowsPreviewOrPlaceholder_data();
    void replyQuoteShowsPreviewOrPlaceholder();
    void replyQuoteColoursFollowTheme_data();
    void replyQuoteColoursFollowTheme();
    void replyPreviewComesFromItsOwnRole();
    void timeShownInLocalTwelveHourClock_data();
    void timeShownInLocalTwelveHourClock();
    void ownMessagesShowDeliveryMark_data();
    void ownMessagesShowDeliveryMark();
    void editedMarkOnlyAfterAnEdit_data();
    void editedMarkOnlyAfterAnEdit();

    void pressOnQuoteIsConsumed_data();
    void pressOnQuoteIsConsumed();
    void quoteClickJumpsToMessage();
};

void TestMessageDelegate::initTestCase()
{
    QVERIFY(clockFixed);
    QStandardPaths::setTestModeEnabled(true);
}

void TestMessageDelegate::layoutPlacesBubbleAndAreas_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("sender");
    QTest::addColumn<bool>("isOwn");
    QTest::addColumn<bool>("hasReply");
    QTest::addColumn<QString>("preview");
    // What the rules measure: the name without its tag, the tag's label, the cut preview.
    QTest::addColumn<QString>("shownName");
    QTest::addColumn<bool>("tagged");
    QTest::addColumn<QString>("tagLabel");
    QTest::addColumn<QString>("shownPreview");
    QTest::addColumn<bool>("wraps");

    const QString hi = QStringLiteral("hi");
    const QString bob = QStringLiteral("Bob");
    const QString longText = QStringLiteral(
        "The quick brown fox jumps over the lazy dog while the cat watches from the fence and "
        "wonders why anybody would ever jump over a dog that is that lazy in the first place.");
    const QString longWord = QString(120, QLatin1Char('x'));
    const QString fortyOne = QStringLiteral("0123456789012345678901234567890123456789W");
    const QString longName = QStringLiteral(
        "Bartholomew Maximilian Fitzgerald-Worthington of the Far Northern Highlands");

    QTest::newRow("own, short") << hi << bob << true << false << QString() << QString() << false
                                << QString() << QString() << false;
    QTest::newRow("other, short") << hi << bob << false << false << QString() << bob << false
                                  << QString() << QString() << false;
    QTest::newRow("own, reply") << hi << bob << true << true << QStringLiteral("see you")
                                << QString() << false << QString() << QStringLiteral("see you")
                                << false;
    QTest::newRow("other, reply") << hi << bob << false << true << QStringLiteral("see you") << bob
                                  << false << QString() << QStringLiteral("see you") << false;
    QTest::newRow("own, reply with empty preview")
        << hi << bob << true << true << QString() << QString() << false << QString() << QString()
        << false;
    QTest::newRow("own, wrapping text") << longText << bob << true << false << QString()
                                        << QString() << false << QString() << QString() << true;
    QTest::newRow("other, wrapping text") << longText << bob << false << false << QString() << bob
                                          << false << QString() << QString() << true;
    QTest::newRow("own, word longer than a line")
        << longWord << bob << true << false << QString() << QString() << false << QString()
        << QString() << true;
    QTest::newRow("other, wrapping reply")
        << longText << bob << false << true << QStringLiteral("see you") << bob << false
        << QString() << QStringLiteral("see you") << true;
    QTest::newRow("other, long name") << hi << longName << false << false << QString() << longName
                                      << false << QString() << QString() << false;
    QTest::newRow("other, 41-character preview")
        << hi << bob << false << true << fortyOne << bob << false << QString()
        << fortyOne.left(40) + QStringLiteral("...") << false;
    QTest::newRow("own, 40-character preview")
        << hi << bob << true << true << fortyOne.left(40) << QString() << false << QString()
        << fortyOne.left(40) << false;
    QTest::newRow("other, tagged name")
        << hi << QStringLiteral(R"(Alice  [#1e88e5, "Administrator"])") << false << false
        << QString() << QStringLiteral("Alice") << true << QStringLiteral("Administrator")
        << QString() << false;
    QTest::newRow("other, tag with empty label")
        << hi << QStringLiteral(R"(Alice [#1e88e5, ""])") << false << false << QString()
        << QStringLiteral("Alice") << true << QString() << QString() << false;
    QTest::newRow("other, malformed tag")
        << hi << QStringLiteral(R"(Eve [#12345, "Ops"])") << false << false << QString()
        << QStringLiteral(R"(Eve [#12345, "Ops"])") << false << QString() << QString() << false;
}

void TestMessageDelegate::layoutPlacesBubbleAndAreas()
{
    QFETCH(QString, text);
    QFETCH(QString, sender);
    QFETCH(bool, isOwn);
    QFETCH(bool, hasReply);
    QFETCH(QString, preview);
    QFETCH(QString, shownName);
    QFETCH(bool, tagged);
    QFETCH(QString, tagLabel);
    QFETCH(QString, shownPreview);
    QFETCH(bool, wraps);

    const int w = viewWidth;
    QTextDocument document;
    document.setDefaultFont(segoe(10));
    document.setPlainText(text);
    document.setTextWidth(int(w * 0.75) - 20);
    // Rounded up, so that the text keeps its line breaks in the text rectangle.
    const int idealWidth = int(std::ceil(document.idealWidth()));
    const int textHeight = int(document.size().height());
    QCOMPARE(textHeight > 1.5 * QFontMetrics(segoe(10)).lineSpacing() + 8, wraps);

    int nameWidth = 0;
    if (!isOwn) {
        nameWidth = QFontMetrics(segoe(11, QFont::Bold)).horizontalAdvance(shownName);
        if (tagged)
            nameWidth += QFontMetrics(segoe(9, QFont::Bold)).horizontalAdvance(tagLabel) + 20;
    }
    const int replyWidth = shownPreview.isEmpty()
        ? 0
        : QFontMetrics(segoe(9, QFont::Normal, true)).horizontalAdvance(shownPreview) + 30;
    const int r = textHeight + (isOwn ? 0 : 18) + (hasReply ? 48 : 0);

    const QRect untouched(1, 2, 3, 4);
    QRect bubble, textRect, senderRect = untouched, avatar, replyRect = untouched;
    int height = -1;
    MessageDelegate delegate;
    delegate.getBubbleLayout(text,
        sender,
        isOwn,
        w,
        bubble,
        textRect,
        senderRect,
        avatar,
        height,
        hasReply,
        preview,
        replyRect);

    QCOMPARE(height, r + 38);
    if (isOwn) {
        const int cw = std::max({ idealWidth + 20, replyWidth, 100 });
        QCOMPARE(bubble, QRect(QPoint(w - cw - 10, 5), QPoint(w - 11, r + 32)));
        QCOMPARE(avatar, QRect());
        QCOMPARE(senderRect, untouched);
        if (hasReply) {
            QCOMPARE(replyRect, QRect(QPoint(w - cw, 13), QPoint(w - 21, 52)));
            QCOMPARE(textRect, QRect(QPoint(w - cw, 61), QPoint(w - 21, textHeight + 60)));
        } else {
            QCOMPARE(textRect, QRect(QPoint(w - cw, 13), QPoint(w - 21, textHeight + 12)));
        }
    } else {
        const int cw = std::max({ nameWidth + 30, replyWidth, idealWidth + 20, 100 });
        QCOMPARE(avatar, QRect(QPoint(10, r - 5), QPoint(47, r + 32)));
        QCOMPARE(avatar.size(), QSize(38, 38));
        QCOMPARE(avatar.bottom(), bubble.bottom());
        QCOMPARE(bubble, QRect(QPoint(58, 5), QPoint(cw + 57, r + 32)));
        QCOMPARE(senderRect, QRect(QPoint(68, 10), QPoint(cw + 47, 24)));
        if (hasReply) {
            QCOMPARE(replyRect, QRect(QPoint(68, 28), QPoint(cw + 47, 67)));
            QCOMPARE(textRect, QRect(QPoint(68, 76), QPoint(cw + 47, textHeight + 75)));
        } else {
            QCOMPARE(textRect, QRect(QPoint(68, 28), QPoint(cw + 47, textHeight + 27)));
        }
    }
    if (!hasReply)
        QCOMPARE(replyRect, untouched);
    QVERIFY(bubble.width() >= 100);
    // The text area always holds the text's widest line.
    QVERIFY(textRect.width() >= idealWidth);
}

void TestMessageDelegate::sizeHintIsTheLayoutHeight_data()
{
    QTest::addColumn<bool>("isOwn");
    QTest::addColumn<QString>("replyToId");
    QTest::addColumn<int>("extraHeight");

    QTest::newRow("own") << true << QString() << 0;
    QTest::newRow("other") << false << QString() << 18;
    QTest::newRow("own reply") << true << QStringLiteral("m0") << 48;
    QTest::newRow("other reply") << false << QStringLiteral("m0") << 66;
}

void TestMessageDelegate::sizeHintIsTheLayoutHeight()
{
    QFETCH(bool, isOwn);
    QFETCH(QString, replyToId);
    QFETCH(int, extraHeight);

    Row row;
    row.isOwn = isOwn;
    row.replyToId = replyToId;
    row.replyPreview = QStringLiteral("see you");
    QStandardItemModel model;
    const QModelIndex index = addRow(model, row);
    MessageDelegate delegate;
    QStyleOptionViewItem option;
    option.rect = QRect(0, 300, 432, 10);

    QTextDocument document;
    document.setDefaultFont(segoe(10));
    document.setPlainText(row.text);
    document.setTextWidth(int(432 * 0.75) - 20);
    const int textHeight = int(document.size().height());
    QCOMPARE(delegate.sizeHint(option, index), QSize(432, textHeight + 38 + extraHeight));
}

void TestMessageDelegate::bubbleFillAndOutlineFollowThemeAndHighlight_data()
{
    QTest::addColumn<bool>("isOwn");
    QTest::addColumn<bool>("dark");
    QTest::addColumn<QString>("highlightedId");
    QTest::addColumn<QColor>("fill");
    // An invalid colour: no outline.
    QTest::addColumn<QColor>("outline");
    QTest::addColumn<int>("outlineWidth");

    const QColor none;
    const QColor grey(QStringLiteral("#d0d0d0"));
    const QString nothing;
    const QString thisRow = QStringLiteral("m1");
    const QString otherRow = QStringLiteral("m9");

    QTest::newRow("own, dark") << true << true << nothing << fillOf(true, true) << none << 0;
    QTest::newRow("other, dark") << false << true << nothing << fillOf(false, true) << none << 0;
    QTest::newRow("own, light") << true << false << nothing << fillOf(true, false) << grey << 1;
    QTest::newRow("other, light") << false << false << nothing << fillOf(false, false) << grey << 1;
    QTest::newRow("own, dark, highlighted")
        << true << true << thisRow << fillOf(true, true) << gold << 3;
    QTest::newRow("other, dark, highlighted")
        << false << true << thisRow << fillOf(false, true) << gold << 3;
    QTest::newRow("own, light, highlighted")
        << true << false << thisRow << fillOf(true, false) << gold << 3;
    QTest::newRow("other, light, highlighted")
        << false << false << thisRow << fillOf(false, false) << gold << 3;
    QTest::newRow("light, another row highlighted")
        << false << false << otherRow << fillOf(false, false) << grey << 1;
    QTest::newRow("dark, another row highlighted")
        << true << true << otherRow << fillOf(true, true) << none << 0;
}

void TestMessageDelegate::bubbleFillAndOutlineFollowThemeAndHighlight()
{
    QFETCH(bool, isOwn);
    QFETCH(bool, dark);
    QFETCH(QString, highlightedId);
    QFETCH(QColor, fill);
    QFETCH(QColor, outline);
    QFETCH(int, outlineWidth);

    MessageDelegate delegate;
    delegate.setDarkMode(dark);
    delegate.setHighlightedMessageId(highlightedId);
    Row row;
    row.isOwn = isOwn;
    const Layout layout = layoutOf(delegate, row);
    const QImage image = render(delegate, row);

    const QRect &bubble = layout.bubble;
    const int midY = bubble.center().y();
    const int midX = bubble.center().x();
    QVERIFY(near(pixel(image, bubble.left() + 5, midY), fill, 0));
    QVERIFY(near(pixel(image, bubble.left() - 3, midY), viewBackground, 0));
    QVERIFY(near(pixel(image, bubble.right() + 3, midY), viewBackground, 0));
    // The outline is centred on the bubble's edge.
    switch (outlineWidth) {
    case 0:
        QVERIFY(near(pixel(image, bubble.left(), midY), fill));
        QVERIFY(near(pixel(image, bubble.left() - 1, midY), viewBackground));
        QVERIFY(near(pixel(image, midX, bubble.top()), fill));
        QVERIFY(near(pixel(image, midX, bubble.top() - 1), viewBackground));
        break;
    case 1:
        QVERIFY(near(pixel(image, bubble.left(), midY), mix(outline, fill)));
        QVERIFY(near(pixel(image, bubble.left() - 1, midY), mix(outline, viewBackground)));
        QVERIFY(near(pixel(image, midX, bubble.top()), mix(outline, fill)));
        QVERIFY(near(pixel(image, midX, bubble.top() - 1), mix(outline, viewBackground)));
        break;
    case 3:
        QVERIFY(near(pixel(image, bubble.left(), midY), outline));
        QVERIFY(near(pixel(image, bubble.left() - 1, midY), outline));
        QVERIFY(near(pixel(image, bubble.left() + 1, midY), mix(outline, fill)));
        QVERIFY(near(pixel(image, bubble.left() - 2, midY), mix(outline, viewBackground)));
        QVERIFY(near(pixel(image, midX, bubble.top()), outline));
        QVERIFY(near(pixel(image, midX, bubble.top() - 1), outline));
        QVERIFY(near(pixel(image, bubble.right(), midY), outline));
        QVERIFY(near(pixel(image, midX, bubble.bottom()), outline));
        break;
    default:
        QFAIL("unknown outline width");
    }
}

void TestMessageDelegate::avatarBesideOthersMessagesOnly_data()
{
    QTest::addColumn<bool>("isOwn");

    QTest::newRow("other") << false;
    QTest::newRow("own") << true;
}

void TestMessageDelegate::avatarBesideOthersMessagesOnly()
{
    QFETCH(bool, isOwn);

    QPixmap picture(42, 42);
    picture.fill(Qt::red);
    MessageDelegate delegate;
    Row row;
    row.isOwn = isOwn;
    row.avatar = QIcon(picture);
    const QImage image = render(delegate, row);

    // Where another sender's avatar goes, whether or not the row is another sender's.
    row.isOwn = false;
    const QRect avatar = layoutOf(delegate, row).avatar;
    const QColor inside = isOwn ? viewBackground : QColor(Qt::red);
    QVERIFY(near(pixel(image, avatar.left() + 1, avatar.top() + 1), inside, 0));
    QVERIFY(near(pixel(image, avatar.right() - 1, avatar.bottom() - 1), inside, 0));
    QVERIFY(near(pixel(image, avatar.center().x(), avatar.center().y()), inside, 0));
    QVERIFY(near(pixel(image, avatar.left() - 2, avatar.center().y()), viewBackground, 0));
    QVERIFY(near(pixel(image, avatar.center().x(), avatar.bottom() + 2), viewBackground, 0));
}

void TestMessageDelegate::noSelectionBackground()
{
    MessageDelegate delegate;
    Row row;
    QStandardItemModel model;
    const QModelIndex index = addRow(model, row);
    QStyleOptionViewItem option = optionFor(delegate, index);
    option.state |= QStyle::State_Selected | QStyle::State_MouseOver | QStyle::State_HasFocus;
    QImage image(viewWidth, option.rect.bottom() + 21, QImage::Format_ARGB32_Premultiplied);
    image.fill(viewBackground);
    QPainter painter(&image);
    delegate.paint(&painter, option, index);
    painter.end();

    const Layout layout = layoutOf(delegate, row);
    for (int x : { 5, layout.bubble.right() + 5, viewWidth - 5 }) {
        for (int y : { rowTop + 1, layout.bubble.center().y(), option.rect.bottom() - 1 })
            QVERIFY(near(pixel(image, x, y), viewBackground, 0));
    }
}

void TestMessageDelegate::senderNameInRedWithTagPill_data()
{
    QTest::addColumn<QString>("sender");
    QTest::addColumn<QString>("shownName");
    QTest::addColumn<QString>("tagColour");
    QTest::addColumn<QString>("tagLabel");
    QTest::addColumn<bool>("dark");

    QTest::newRow("plain name") << QStringLiteral("Bob") << QStringLiteral("Bob") << QString()
                                << QString() << false;
    QTest::newRow("tagged name, light")
        << QStringLiteral(R"(Alice  [#1e88e5, "Admin"])") << QStringLiteral("Alice")
        << QStringLiteral("#1e88e5") << QStringLiteral("Admin") << false;
    QTest::newRow("tagged name, dark")
        << QStringLiteral(R"(Alice [#2E7D32,"Ops"])") << QStringLiteral("Alice")
        << QStringLiteral("#2E7D32") << QStringLiteral("Ops") << true;
    QTest::newRow("five hex digits")
        << QStringLiteral(R"(Eve [#1e88e, "Admin"])") << QStringLiteral(R"(Eve [#1e88e, "Admin"])")
        << QString() << QString() << false;
    QTest::newRow("missing quotes")
        << QStringLiteral(R"(Eve [#1e88e5, Admin])") << QStringLiteral(R"(Eve [#1e88e5, Admin])")
        << QString() << QString() << false;
    QTest::newRow("text after the bracket")
        << QStringLiteral(R"(Eve [#1e88e5, "Admin"] x)")
        << QStringLiteral(R"(Eve [#1e88e5, "Admin"] x)") << QString() << QString() << false;
}

void TestMessageDelegate::senderNameInRedWithTagPill()
{
    QFETCH(QString, sender);
    QFETCH(QString, shownName);
    QFETCH(QString, tagColour);
    QFETCH(QString, tagLabel);
    QFETCH(bool, dark);

    MessageDelegate delegate;
    delegate.setDarkMode(dark);
    Row row;
    row.sender = sender;
    const Layout layout = layoutOf(delegate, row);
    const QImage image = render(delegate, row);
    const QColor fill = fillOf(false, dark);

    const QFont nameFont = viewFont(11, QFont::Bold);
    const QFontMetrics nameMetrics(nameFont);
    const int nameAdvance = nameMetrics.horizontalAdvance(shownName);
    const QRect nameArea(layout.sender.left(), layout.sender.top(), nameAdvance, 15);
    QVERIFY(inkedIn(image, nameArea, fill, QColor(QLatin1String(dark ? "#ff8a95" : "#c2334a"))));
    // Only the shown name is inked; the tag is not drawn as text.
    const QRect ink = inkBounds(image, nameArea.adjusted(-3, 0, 3, 0), fill);
    QVERIFY2(std::abs(ink.right() - (nameArea.right())) <= 2,
        qPrintable(QStringLiteral("name ink ends at %1, advance at %2")
                       .arg(ink.right())
                       .arg(nameArea.right())));

    const QRect line(layout.sender.left(), layout.sender.top(), layout.sender.width(), 15);
    if (tagColour.isEmpty()) {
        const QRect rest(nameArea.right() + 3, line.top(), line.right() - nameArea.right(), 15);
        if (rest.isValid())
            QVERIFY(inkBounds(image, rest, fill).isNull());
        return;
    }

    const QColor colour(tagColour);
    const QRect pill(nameArea.left() + nameAdvance + 6,
        layout.sender.top(),
        nameMetrics.horizontalAdvance(tagLabel) + 10,
        14);
    const int midY = pill.center().y();
    const int midX = pill.center().x();
    QVERIFY(near(pixel(image, pill.left() + 1, midY), colour));
    QVERIFY(near(pixel(image, pill.right() - 1, midY), colour));
    QVERIFY(near(pixel(image, midX, pill.top() + 1), colour));
    QVERIFY(near(pixel(image, midX, pill.bottom() - 1), colour));
    QVERIFY(near(pixel(image, pill.left() - 2, midY), fill));
    QVERIFY(near(pixel(image, pill.right() + 2, midY), fill));
    QVERIFY(near(pixel(image, midX, pill.bottom() + 2), fill));
    // The label is white on the pill.
    QVERIFY(inkedIn(image, pill.adjusted(2, 2, -2, -2), colour, Qt::white));
}

void TestMessageDelegate::textColourFollowsTheme_data()
{
    QTest::addColumn<bool>("isOwn");
    QTest::addColumn<bool>("dark");
    QTest::addColumn<QColor>("ink");

    QTest::newRow("own, dark") << true << true << QColor(Qt::white);
    QTest::newRow("other, dark") << false << true << QColor(Qt::white);
    QTest::newRow("own, light") << true << false << QColor(Qt::black);
    QTest::newRow("other, light") << false << false << QColor(Qt::black);
}

void TestMessageDelegate::textColourFollowsTheme()
{
    QFETCH(bool, isOwn);
    QFETCH(bool, dark);
    QFETCH(QColor, ink);

    MessageDelegate delegate;
    delegate.setDarkMode(dark);
    Row row;
    row.isOwn = isOwn;
    row.text = QStringLiteral("Hello there");
    const Layout layout = layoutOf(delegate, row);
    const QImage image = render(delegate, row);
    QVERIFY(inkedIn(image, layout.text, fillOf(isOwn, dark), ink));
}

void TestMessageDelegate::textStaysInItsRectangle_data()
{
    QTest::addColumn<bool>("isOwn");
    QTest::addColumn<QString>("text");

    const QString oneLine = QStringLiteral("Are we still on for lunch tomorrow?");
    const QString wrapping = QStringLiteral(
        "Are we still on for lunch tomorrow? I could bring the slides along so that we can go "
        "through them once more before the meeting on Friday afternoon.");
    QTest::newRow("one line, own") << true << oneLine;
    QTest::newRow("one line, other") << false << oneLine;
    QTest::newRow("wrapping, own") << true << wrapping;
    QTest::newRow("wrapping, other") << false << wrapping;
    QTest::newRow("word longer than a line") << true << QString(150, QLatin1Char('m'));
}

void TestMessageDelegate::textStaysInItsRectangle()
{
    QFETCH(bool, isOwn);
    QFETCH(QString, text);

    MessageDelegate delegate;
    Row row;
    row.isOwn = isOwn;
    row.text = text;
    row.status = 3;
    const Layout layout = layoutOf(delegate, row);
    const QImage image = render(delegate, row);

    // The text is drawn on as many lines as the row was sized for, inside the document margin:
    // nothing but the time is inked below it.
    const int timeTop = layout.bubble.bottom() - 5 - QFontMetrics(viewFont(9)).height();
    const QRect textArea(QPoint(layout.bubble.left() + 3, layout.text.top() - 3),
        QPoint(layout.bubble.right() - 3, timeTop - 1));
    const QRect ink = inkBounds(image, textArea, fillOf(isOwn, false));
    const QRect inside = layout.text.adjusted(3, 3, -3, -3);
    QVERIFY2(inside.contains(ink),
        qPrintable(QStringLiteral("ink %1,%2 %3x%4 outside the text area %5,%6 %7x%8")
                       .arg(ink.x())
                       .arg(ink.y())
                       .arg(ink.width())
                       .arg(ink.height())
                       .arg(inside.x())
                       .arg(inside.y())
                       .arg(inside.width())
                       .arg(inside.height())));
}

void TestMessageDelegate::overlongTextIsShownCut()
{
    // A single 200 000-character word lays out as its first 10 000 characters and "...".
    MessageDelegate delegate;
    Row whole;
    whole.text = QString(200000, QLatin1Char('w'));
    Row cut;
    cut.text = QString(10000, QLatin1Char('w')) + QStringLiteral("...");
    const Layout shown = layoutOf(delegate, whole);
    const Layout expected = layoutOf(delegate, cut);
    QCOMPARE(shown.height, expected.height);
    QCOMPARE(shown.text, expected.text);
}

void TestMessageDelegate::markupShownLiterally()
{
    MessageDelegate delegate;
    Row row;
    row.isOwn = true;
    row.text = QStringLiteral("<b>bold</b> & co");
    const Layout layout = layoutOf(delegate, row);
    const QImage image = render(delegate, row);

    const QFontMetrics metrics(segoe(10));
    const QRect ink = inkBounds(image, layout.text, fillOf(true, false));
    const int literal = metrics.horizontalAdvance(row.text);
    QVERIFY2(std::abs(ink.width() - literal) <= 3,
        qPrintable(
            QStringLiteral("ink %1 wide, the literal text %2").arg(ink.width()).arg(literal)));
    QVERIFY(literal - metrics.horizontalAdvance(QStringLiteral("bold & co")) > 10);
    // One line only.
    QVERIFY(ink.height() <= metrics.height());
}

void TestMessageDelegate::lineBreakStartsNewLine()
{
    MessageDelegate delegate;
    Row row;
    row.isOwn = true;
    row.text = QStringLiteral("Hello\nHello");
    const Layout layout = layoutOf(delegate, row);
    const QImage image = render(delegate, row);

    const QFontMetrics metrics(segoe(10));
    const QRect ink = inkBounds(image, layout.text, fillOf(true, false));
    QVERIFY(std::abs(ink.width() - metrics.horizontalAdvance(QStringLiteral("Hello"))) <= 3);
    QVERIFY(ink.height() > metrics.lineSpacing());
}

void TestMessageDelegate::replyQuoteShowsPreviewOrPlaceholder_data()
{
    QTest::addColumn<bool>("isOwn");
    QTest::addColumn<QString>("preview");
    QTest::addColumn<QString>("shown");

    const QString sixty = QStringLiteral("Lorem ipsum dolor sit amet, consectetur adipiscing elit, "
                                         "sed do eiusmod");
    QTest::newRow("empty preview, own")
        << true << QString() << QStringLiteral("[Original message]");
    QTest::newRow("empty preview, other")
        << false << QString() << QStringLiteral("[Original message]");
    QTest::newRow("short preview")
        << false << QStringLiteral("see you at ten") << QStringLiteral("see you at ten");
    QTest::newRow("long preview cut at 40 characters")
        << true << sixty << sixty.left(40) + QStringLiteral("...");
}

void TestMessageDelegate::replyQuoteShowsPreviewOrPlaceholder()
{
    QFETCH(bool, isOwn);
    QFETCH(QString, preview);
    QFETCH(QString, shown);

    MessageDelegate delegate;
    Row row;
    row.isOwn = isOwn;
    // Wide enough for the placeholder: an empty preview does not widen the bubble.
    row.text = QStringLiteral("Sounds good to me, see you there");
    row.replyToId = QStringLiteral("m0");
    row.replyPreview = preview;
    const Layout layout = layoutOf(delegate, row);
    const QImage image = render(delegate, row);

    const QRect &quote = layout.reply;
    const QRect previewArea(quote.left() + 3, quote.top(), quote.width() - 3, 22);
    const QRect ink = inkBounds(image, previewArea, fillOf(isOwn, false));
    const int advance = QFontMetrics(segoe(9, QFont::Normal, true)).horizontalAdvance(shown);
    QVERIFY(std::abs(ink.left() - (quote.left() + 6)) <= 2);
    QVERIFY2(std::abs(ink.width() - advance) <= 3,
        qPrintable(
            QStringLiteral("ink %1 wide, \"%2\" %3").arg(ink.width()).arg(shown).arg(advance)));
}

void TestMessageDelegate::replyQuoteColoursFollowTheme_data()
{
    QTest::addColumn<bool>("dark");
    QTest::addColumn<QColor>("nameColour");
    QTest::addColumn<QColor>("barColour");
    QTest::addColumn<QColor>("previewColour");

    QTest::newRow("dark") << true << QColor(QStringLiteral("#bfdbfe"))
                          << QColor(QStringLiteral("#666666")) << QColor(QStringLiteral("#d0d0d0"));
    QTest::newRow("light") << false << QColor(QStringLiteral("#2563EB"))
                           << QColor(QStringLiteral("#cccccc"))
                           << QColor(QStringLiteral("#666666"));
}

void TestMessageDelegate::replyQuoteColoursFollowTheme()
{
    QFETCH(bool, dark);
    QFETCH(QColor, nameColour);
    QFETCH(QColor, barColour);
    QFETCH(QColor, previewColour);

    MessageDelegate delegate;
    delegate.setDarkMode(dark);
    Row row;
    row.replyToId = QStringLiteral("m0");
    row.replyPreview = QStringLiteral("see you at ten");
    const QColor fill = fillOf(false, dark);
    const Layout layout = layoutOf(delegate, row);
    const QRect &quote = layout.reply;
    const QImage withoutName = render(delegate, row);
    row.replySender = QStringLiteral("Carol");
    const QImage withName = render(delegate, row);

    const QFontMetrics nameMetrics(segoe(9, QFont::Bold));
    const int shift = nameMetrics.height() + 2;
    const QRect nameArea(quote.left() + 3, quote.top(), quote.width() - 3, shift);
    QVERIFY(inkedIn(withName, nameArea, fill, nameColour));
    const QRect nameInk = inkBounds(withName, nameArea, fill);
    QVERIFY(std::abs(nameInk.left() - (quote.left() + 6)) <= 2);

    // The bar and the preview move down by the name's line.
    const QRect barArea(quote.left() - 1, quote.top(), 2, 40);
    // A light bar is faint where it half covers a pixel.
    const QRect barWithout = inkBounds(withoutName, barArea, fill, 20);
    const QRect barWith = inkBounds(withName, barArea, fill, 20);
    QCOMPARE(barWith.top() - barWithout.top(), shift);
    QCOMPARE(barWithout.top(), quote.top());
    QVERIFY(barWithout.height() >= 20 && barWithout.height() <= 22);
    QVERIFY(near(pixel(withoutName, quote.left(), quote.top() + 10), mix(barColour, fill)));

    const QRect previewArea(quote.left() + 3, quote.top(), quote.width() - 3, 45);
    const QRect previewWithout = inkBounds(withoutName, previewArea, fill);
    QVERIFY(inkedIn(withoutName, previewArea, fill, previewColour));
    const QRect previewBelowName = inkBounds(withName, previewArea.adjusted(0, shift, 0, 0), fill);
    QCOMPARE(previewBelowName.top() - previewWithout.top(), shift);
}

void TestMessageDelegate::replyPreviewComesFromItsOwnRole()
{
    MessageDelegate delegate;
    Row row;
    row.replyToId = QStringLiteral("m0");
    row.replyPreview = QStringLiteral("ok");
    QStandardItemModel model;
    const QModelIndex index = addRow(model, row);
    // A reply from another user also carries its sender's avatar URL.
    model.setData(index,
        QStringLiteral("http://localhost:8443/avatars/a-rather-long-file-name-for-a-picture.png"),
        AvatarUrlRole);
    const QStyleOptionViewItem option = optionFor(delegate, index);
    QImage image(viewWidth, option.rect.bottom() + 21, QImage::Format_ARGB32_Premultiplied);
    image.fill(viewBackground);
    QPainter painter(&image);
    delegate.paint(&painter, option, index);
    painter.end();

    const Layout layout = layoutOf(delegate, row);
    QCOMPARE(layout.bubble.width(), 100);
    const int midY = layout.bubble.center().y();
    QVERIFY(near(pixel(image, layout.bubble.right() - 3, midY), fillOf(false, false), 0));
    QVERIFY(near(pixel(image, layout.bubble.right() + 3, midY), viewBackground, 0));
    const QRect ink = inkBounds(image, layout.reply.adjusted(3, 0, 0, 0), fillOf(false, false));
    QVERIFY(std::abs(ink.width()
                - QFontMetrics(segoe(9, QFont::Normal, true)).horizontalAdvance(row.replyPreview))
        <= 3);
}

void TestMessageDelegate::timeShownInLocalTwelveHourClock_data()
{
    QTest::addColumn<qint64>("timestamp");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<bool>("isOwn");
    QTest::addColumn<bool>("dark");
    QTest::addColumn<QColor>("colour");

    const QColor darkTime(QStringLiteral("#d8d8d8"));
    const QColor lightTime(QStringLiteral("#595959"));
    QTest::newRow("evening, own, dark")
        << someTime << QStringLiteral("10:13 PM") << true << true << darkTime;
    QTest::newRow("morning, other, light")
        << someTime - 12 * 3600 << QStringLiteral("10:13 AM") << false << false << lightTime;
    QTest::newRow("midnight of timestamp 0, other, dark")
        << qint64(0) << QStringLiteral("12:00 AM") << false << true << darkTime;
    QTest::newRow("noon, own, light")
        << qint64(43200 + 5 * 60) << QStringLiteral("12:05 PM") << true << false << lightTime;
}

void TestMessageDelegate::timeShownInLocalTwelveHourClock()
{
    QFETCH(qint64, timestamp);
    QFETCH(QString, shown);
    QFETCH(bool, isOwn);
    QFETCH(bool, dark);
    QFETCH(QColor, colour);

    MessageDelegate delegate;
    delegate.setDarkMode(dark);
    Row row;
    row.isOwn = isOwn;
    row.timestamp = timestamp;
    row.status = 3;
    const Layout layout = layoutOf(delegate, row);
    const QImage image = render(delegate, row);
    const QRect &bubble = layout.bubble;

    // The same text drawn on its own where the time belongs.
    QImage expected(image.size(), image.format());
    expected.fill(fillOf(isOwn, dark));
    QPainter painter(&expected);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setFont(viewFont(9));
    painter.setPen(colour);
    painter.drawText(QRect(bubble.topLeft(), QPoint(bubble.right() - 8, bubble.bottom() - 5)),
        Qt::AlignRight | Qt::AlignBottom,
        shown);
    painter.end();

    const QFontMetrics metrics(viewFont(9));
    const QRect area(QPoint(bubble.right() - 8 - metrics.horizontalAdvance(shown) - 4,
                         bubble.bottom() - 5 - metrics.height()),
        QPoint(bubble.right() - 6, bubble.bottom() - 5));
    QVERIFY(!inkBounds(image, area, fillOf(isOwn, dark)).isNull());
    QCOMPARE(image.copy(area), expected.copy(area));
}

void TestMessageDelegate::ownMessagesShowDeliveryMark_data()
{
    QTest::addColumn<bool>("isOwn");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("dark");
    // One mark, two overlapping ticks ("\u2713\u2713"), or nothing.
    QTest::addColumn<QString>("mark");
    QTest::addColumn<QColor>("colour");

    const QString circle(QChar(0x25CB));
    const QString tick(QChar(0x2713));
    // Sending and sent in the time's colour.
    const QColor lightTime(QStringLiteral("#595959"));
    const QColor darkTime(QStringLiteral("#d8d8d8"));
    QTest::newRow("sending, light") << true << int(Sending) << false << circle << lightTime;
    QTest::newRow("sending, dark") << true << int(Sending) << true << circle << darkTime;
    QTest::newRow("sent, light") << true << int(Sent) << false << tick << lightTime;
    QTest::newRow("sent, dark") << true << int(Sent) << true << tick << darkTime;
    QTest::newRow("seen, light") << true << int(Seen) << false << tick + tick
                                 << QColor(QStringLiteral("#2563EB"));
    QTest::newRow("seen, dark") << true << int(Seen) << true << tick + tick
                                << QColor(QStringLiteral("#bfdbfe"));
    QTest::newRow("failed") << true << int(Failed) << false << QStringLiteral("!")
                            << QColor(QStringLiteral("#c62828"));
    QTest::newRow("unknown status 4") << true << 4 << false << QString() << QColor();
    QTest::newRow("negative status") << true << -1 << true << QString() << QColor();
    QTest::newRow("another user's message") << false << int(Seen) << false << QString() << QColor();
}

void TestMessageDelegate::ownMessagesShowDeliveryMark()
{
    QFETCH(bool, isOwn);
    QFETCH(int, status);
    QFETCH(bool, dark);
    QFETCH(QString, mark);
    QFETCH(QColor, colour);

    MessageDelegate delegate;
    delegate.setDarkMode(dark);
    Row row;
    row.isOwn = isOwn;
    row.text = QStringLiteral("Hello there");
    row.status = status;
    const Layout layout = layoutOf(delegate, row);
    const QImage image = render(delegate, row);
    row.status = 99;
    const QImage unmarked = render(delegate, row);
    const QColor fill = fillOf(isOwn, dark);
    const QRect &bubble = layout.bubble;

    const QFontMetrics timeMetrics(viewFont(9));
    const int timeWidth = timeMetrics.horizontalAdvance(timeText(row.timestamp));
    // Everything between the text and the bottom edge, left of the time.
    const QRect markArea(QPoint(bubble.left() + 10, layout.text.bottom() + 1),
        QPoint(bubble.right() - 8 - timeWidth - 2, bubble.bottom() - 2));
    QVERIFY(inkBounds(unmarked, markArea, fill).isNull());
    if (mark.isEmpty()) {
        QCOMPARE(image, unmarked);
        return;
    }

    const QFont markFont = segoe(9);
    const QFontMetrics markMetrics(markFont);
    const QString tick(QChar(0x2713));
    const int tickWidth = markMetrics.horizontalAdvance(tick);
    QVERIFY2(tickWidth > 0, "the mark font lacks the check mark; the fallback is drawn instead");
    const int baseline = bubble.bottom() - 5 - timeMetrics.height() + markMetrics.ascent();
    const int right = bubble.right() - timeWidth - 12;

    QImage expected = unmarked;
    QPainter painter(&expected);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setFont(markFont);
    painter.setPen(colour);
    if (mark == tick + tick) {
        const int x = right - tickWidth;
        painter.drawText(x - tickWidth / 2, baseline, tick);
        painter.drawText(x, baseline, tick);
    } else {
        painter.drawText(right - markMetrics.horizontalAdvance(mark), baseline, mark);
    }
    painter.end();

    QVERIFY(!inkBounds(image, markArea, fill).isNull());
    QVERIFY(inkedIn(image, markArea, fill, colour));
    QCOMPARE(image, expected);
}

void TestMessageDelegate::editedMarkOnlyAfterAnEdit_data()
{
    QTest::addColumn<bool>("isOwn");
    QTest::addColumn<bool>("dark");
    QTest::addColumn<qint64>("editedAt");
    QTest::addColumn<bool>("shown");

    QTest::newRow("never edited") << true << false << qint64(0) << false;
    QTest::newRow("negative edit time") << false << true << qint64(-5) << false;
    QTest::newRow("edited at 1, own, light") << true << false << qint64(1) << true;
    QTest::newRow("edited, other, dark") << false << true << someTime + 60 << true;
}

void TestMessageDelegate::editedMarkOnlyAfterAnEdit()
{
    QFETCH(bool, isOwn);
    QFETCH(bool, dark);
    QFETCH(qint64, editedAt);
    QFETCH(bool, shown);

    MessageDelegate delegate;
    delegate.setDarkMode(dark);
    Row row;
    row.isOwn = isOwn;
    row.status = 3;
    row.editedAt = editedAt;
    const Layout layout = layoutOf(delegate, row);
    const QImage image = render(delegate, row);
    const QRect &bubble = layout.bubble;
    const QColor fill = fillOf(isOwn, dark);

    QFont font = viewFont(9);
    const int timeHeight = QFontMetrics(font).height();
    font.setPixelSize(8);
    font.setItalic(true);
    const QFontMetrics metrics(font);
    const QString edited = QStringLiteral("edited");
    const int baseline = bubble.bottom() - 5 - timeHeight - metrics.height() + metrics.ascent() - 2;
    const QRect box(
        QPoint(bubble.right() - 8 - metrics.horizontalAdvance(edited), baseline - metrics.ascent()),
        QPoint(bubble.right() - 8, baseline + metrics.descent()));
    // Just above the time.
    QVERIFY(box.bottom() < bubble.bottom() - 5 - timeHeight);

    const QRect ink = inkBounds(image, box.adjusted(-2, -1, 2, 1), fill);
    QCOMPARE(!ink.isNull(), shown);
    if (!shown)
        return;
    QVERIFY(inkedIn(image, box, fill, QColor(QLatin1String(dark ? "#d8d8d8" : "#595959"))));
    QVERIFY(std::abs(ink.right() - box.right()) <= 2);
    QVERIFY(std::abs(ink.left() - box.left()) <= 2);
}

void TestMessageDelegate::pressOnQuoteIsConsumed_data()
{
    QTest::addColumn<bool>("isOwn");
    QTest::addColumn<QString>("replyToId");
    QTest::addColumn<int>("rowOffset");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("button");
    // Where to press, relative to the quote's corners: 0 = top-left, 1 = centre, 2 = bottom-right.
    QTest::addColumn<int>("corner");
    QTest::addColumn<QPoint>("nudge");
    QTest::addColumn<bool>("consumed");

    const QString reply = QStringLiteral("m0");
    const int press = QEvent::MouseButtonPress;
    const int left = Qt::LeftButton;
    QTest::newRow("left press in the middle of the quote")
        << false << reply << 0 << press << left << 1 << QPoint() << true;
    QTest::newRow("left press in own quote")
        << true << reply << 0 << press << left << 1 << QPoint() << true;
    QTest::newRow("top-left corner of the quote")
        << false << reply << 0 << press << left << 0 << QPoint() << true;
    QTest::newRow("bottom-right corner of the quote")
        << true << reply << 0 << press << left << 2 << QPoint() << true;
    QTest::newRow("just left of the quote")
        << false << reply << 0 << press << left << 0 << QPoint(-1, 0) << false;
    QTest::newRow("just above the quote")
        << true << reply << 0 << press << left << 0 << QPoint(0, -1) << false;
    QTest::newRow("just below the quote")
        << false << reply << 0 << press << left << 2 << QPoint(0, 1) << false;
    QTest::newRow("just right of the quote")
        << true << reply << 0 << press << left << 2 << QPoint(1, 0) << false;
    QTest::newRow("on the text below the quote")
        << false << reply << 0 << press << left << 1 << QPoint(0, 40) << false;
    QTest::newRow("quote of a row further down")
        << false << reply << 250 << press << left << 1 << QPoint() << true;
    QTest::newRow("where the quote would be without the row's top")
        << false << reply << 250 << press << left << 1 << QPoint(0, -250) << false;
    QTest::newRow("right press in the quote")
        << false << reply << 0 << press << int(Qt::RightButton) << 1 << QPoint() << false;
    QTest::newRow("release in the quote")
        << false << reply << 0 << int(QEvent::MouseButtonRelease) << left << 1 << QPoint() << false;
    QTest::newRow("double click in the quote")
        << false << reply << 0 << int(QEvent::MouseButtonDblClick) << left << 1 << QPoint()
        << false;
    QTest::newRow("row without a reply")
        << false << QString() << 0 << press << left << 1 << QPoint() << false;
}

void TestMessageDelegate::pressOnQuoteIsConsumed()
{
    QFETCH(bool, isOwn);
    QFETCH(QString, replyToId);
    QFETCH(int, rowOffset);
    QFETCH(int, type);
    QFETCH(int, button);
    QFETCH(int, corner);
    QFETCH(QPoint, nudge);
    QFETCH(bool, consumed);

    MessageDelegate delegate;
    Row row;
    row.isOwn = isOwn;
    row.replyToId = replyToId;
    row.replyPreview = QStringLiteral("see you at ten");
    QStandardItemModel model;
    const QModelIndex index = addRow(model, row);

    // Where the quote is (or would be) in a row at the top of the view.
    Row quoted = row;
    quoted.replyToId = QStringLiteral("m0");
    const QRect quote = layoutOf(delegate, quoted, 0).reply;
    const QPoint corners[] = { quote.topLeft(), quote.center(), quote.bottomRight() };
    const QPoint position = corners[corner] + nudge + QPoint(0, rowOffset);

    QStyleOptionViewItem option;
    option.rect = QRect(0, rowOffset, viewWidth, 200);
    const auto mouseButton = Qt::MouseButton(button);
    QMouseEvent event(QEvent::Type(type), position, mouseButton, mouseButton, Qt::NoModifier);
    QCOMPARE(delegate.editorEvent(&event, &model, option, index), consumed);
}

void TestMessageDelegate::quoteClickJumpsToMessage()
{
    Session session;
    QVERIFY(session.connected());
    QVERIFY(session.logIn(QStringLiteral("u1")));
    MainWindow &window = *session.window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QListWidget *list = session.probe->messageListWidget();
    auto *delegate = dynamic_cast<MessageDelegate *>(list->itemDelegate());
    QVERIFY(delegate);
    session.push(R"({"type":"user_list_update","users":[{"userId":"u1","username":"me"},
            {"userId":"u2","username":"Bob"}]})");
    session.push(QJsonObject { { QStringLiteral("type"), QStringLiteral("chat_history") },
        { QStringLiteral("chats"),
            QJsonArray { QJsonObject { { QStringLiteral("chatId"), QStringLiteral("c1") },
                { QStringLiteral("members"),
                    QJsonArray { QStringLiteral("u1"), QStringLiteral("u2") } },
                { QStringLiteral("messages"),
                    QJsonArray {
                        QJsonObject { { QStringLiteral("messageId"), QStringLiteral("m1") },
                            { QStringLiteral("senderId"), QStringLiteral("u2") },
                            { QStringLiteral("timestamp"), someTime },
                            { QStringLiteral("seenBy"), QJsonArray { QStringLiteral("u1") } },
                            { QStringLiteral("content"),
                                QJsonObject { { QStringLiteral("text"),
                                    QStringLiteral("Lunch at ten?") } } } },
                        QJsonObject { { QStringLiteral("messageId"), QStringLiteral("m2") },
                            { QStringLiteral("senderId"), QStringLiteral("u1") },
                            { QStringLiteral("timestamp"), someTime + 60 },
                            { QStringLiteral("replyToId"), QStringLiteral("m1") },
                            { QStringLiteral("content"),
                                QJsonObject { { QStringLiteral("text"),
                                    QStringLiteral("Sure") } } } } } } } } } });
    emit session.probe->chatListWidget()->itemClicked(session.probe->chatListWidget()->item(0));
    QCOMPARE(list->count(), 2);
    QListWidgetItem *answer = list->item(1);
    QCOMPARE(answer->data(ReplySenderRole).toString(), QStringLiteral("Bob"));

    const QRect rowRect = list->visualItemRect(answer);
    QVERIFY(rowRect.isValid());
    QRect bubble, text, sender, avatar, quote;
    int height = 0;
    delegate->getBubbleLayout(QStringLiteral("Sure"),
        QString(),
        true,
        rowRect.width(),
        bubble,
        text,
        sender,
        avatar,
        height,
        true,
        QStringLiteral("Lunch at ten?"),
        quote);
    QCOMPARE(rowRect.height(), height);

    // A click on the text is no click on the quote.
    QTest::mouseClick(
        list->viewport(), Qt::LeftButton, {}, text.center() + QPoint(0, rowRect.top()));
    QVERIFY(delegate->highlightedMessageId().isEmpty());

    QTest::mouseClick(
        list->viewport(), Qt::LeftButton, {}, quote.center() + QPoint(0, rowRect.top()));
    QCOMPARE(delegate->highlightedMessageId(), QStringLiteral("m1"));
    QCOMPARE(session.probe->highlightedMessageId(), QStringLiteral("m1"));
}

QTEST_MAIN(TestMessageDelegate)
#include "tst_messagedelegate.moc"
