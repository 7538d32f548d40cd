#include "model/itemroles.h"
#include "view/palette.h"
#include "view/userlistdelegate.h"

#include <QImage>
#include <QListWidget>
#include <QPainter>
#include <QStandardItemModel>
#include <QtTest>
#include <algorithm>
#include <cstdlib>

namespace
{

constexpr int viewWidth = 400;
constexpr int rowHeight = 60;
// The painted row is the second of the view, indented, so that positions must be taken from
// the row's rectangle.
constexpr int rowLeft = 5;
constexpr int rowTop = rowHeight;
const QColor viewBackground(0x20, 0x20, 0x20);
const QColor textColour(0xff, 0xa0, 0x00);

QFont viewFont()
{
    return QFont(QStringLiteral("DejaVu Sans"), 9);
}

QFont nameFont()
{
    QFont font = viewFont();
    font.setPixelSize(14);
    return font;
}

QFont labelFont()
{
    QFont font = nameFont();
    font.setPixelSize(10);
    font.setWeight(QFont::Bold);
    return font;
}

int difference(const QColor &a, const QColor &b)
{
    return std::max({ std::abs(a.red() - b.red()),
        std::abs(a.green() - b.green()),
        std::abs(a.blue() - b.blue()) });
}

QRect inkBounds(const QImage &image, const QRect &region, const QColor &background)
{
    QRect bounds;
    for (int y = region.top(); y <= region.bottom(); ++y) {
        for (int x = region.left(); x <= region.right(); ++x) {
            if (difference(image.pixelColor(x, y), background) > 60)
                bounds |= QRect(x, y, 1, 1);
        }
    }
    return bounds;
}

bool contains(const QImage &image, const QRect &region, const QColor &colour, int tolerance = 8)
{
    for (int y = region.top(); y <= region.bottom(); ++y) {
        for (int x = region.left(); x <= region.right(); ++x) {
            if (difference(image.pixelColor(x, y), colour) <= tolerance)
                return true;
        }
    }
    return false;
}

struct Painted {
    QImage image;
    QRect row;
};

QStyleOptionViewItem optionFor(bool selected, const QWidget *widget = nullptr)
{
    QStyleOptionViewItem option;
    option.rect = QRect(rowLeft, rowTop, viewWidth - rowLeft, rowHeight);
    option.font = viewFont();
    option.palette.setColor(QPalette::Text, textColour);
    option.state = QStyle::State_Enabled | QStyle::State_Active;
    if (selected)
        option.state |= QStyle::State_Selected;
    option.widget = widget;
    return option;
}

Painted paintRow(const QString &name,
    const QIcon &avatar = QIcon(),
    bool selected = false,
    bool antialiased = false)
{
    QStandardItemModel model;
    auto *item = new QStandardItem(name);
    if (!avatar.isNull())
        item->setData(avatar, Qt::DecorationRole);
    model.appendRow(item);
    const QStyleOptionViewItem option = optionFor(selected);

    QImage image(viewWidth, 3 * rowHeight, QImage::Format_ARGB32_Premultiplied);
    image.fill(viewBackground);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, antialiased);
    UserListDelegate delegate;
    delegate.paint(&painter, option, item->index());
    return Painted { image, option.rect };
}

QIcon redPicture()
{
    QPixmap picture(42, 42);
    picture.fill(Qt::red);
    return QIcon(picture);
}

} // namespace

class TestUserListDelegate : public QObject
{
    Q_OBJECT

private slots:
    void rowsAreSixtyPixelsHigh_data();
    void rowsAreSixtyPixelsHigh();
    void nameStartsAfterAvatar_data();
    void nameStartsAfterAvatar();
    void avatarDrawnInFortyPixelSquare_data();
    void avatarDrawnInFortyPixelSquare();
    void tagPillAfterName_data();
    void tagPillAfterName();
    void longNameEndsInsideTheRow_data();
    void longNameEndsInsideTheRow();
    void malformedTagShownAsText_data();
    void malformedTagShownAsText();
    void nameColourFollowsSelection_data();
    void nameColourFollowsSelection();
    void selectionBackgroundFromViewStyleSheet();
    void renderHintsLeftAsReceived();
    void summaryShowsOnlyWithPreviews_data();
    void summaryShowsOnlyWithPreviews();
    void timesAndBadgesReadAsShown_data();
    void timesAndBadgesReadAsShown();
};

void TestUserListDelegate::summaryShowsOnlyWithPreviews_data()
{
    QTest::addColumn<bool>("previews");
    QTest::addColumn<int>("unread");
    QTest::addColumn<bool>("muted");
    QTest::addColumn<QString>("badge");

    QTest::newRow("off: as it always was") << false << 5 << false << QString();
    QTest::newRow("unread") << true << 5 << false << QStringLiteral("accent");
    QTest::newRow("unread and muted") << true << 5 << true << QStringLiteral("grey");
    QTest::newRow("nothing unread") << true << 0 << false << QString();
}

void TestUserListDelegate::summaryShowsOnlyWithPreviews()
{
    QFETCH(bool, previews);
    QFETCH(int, unread);
    QFETCH(bool, muted);
    QFETCH(QString, badge);
    QList<int> heights;
    const auto paint = [&](bool summary) {
        QStandardItemModel model;
        auto *item = new QStandardItem(QStringLiteral("Team"));
        item->setData(QStringLiteral("g1"), IdRole);
        if (summary) {
            item->setData(QStringLiteral("bob: hello there"), PreviewRole);
            item->setData(QVariant::fromValue<qint64>(1700000000), LastActivityRole);
            item->setData(unread, UnreadCountRole);
            item->setData(muted, MutedRole);
        }
        model.appendRow(item);
        QImage image(viewWidth, 3 * rowHeight, QImage::Format_ARGB32_Premultiplied);
        image.fill(viewBackground);
        QPainter painter(&image);
        UserListDelegate delegate;
        delegate.setShowPreviews(previews);
        delegate.paint(&painter, optionFor(false), item->index());
        heights.append(delegate.sizeHint(optionFor(false), item->index()).height());
        return image;
    };
    const QImage image = paint(true);
    QCOMPARE(heights, QList<int> { rowHeight });
    if (!previews) {
        QCOMPARE(image, paint(false));
        return;
    }
    // The badge sits in the right end of the lower half of the row.
    const QRect badgeArea(viewWidth - 60, rowTop + rowHeight / 2, 50, rowHeight / 2 - 2);
    const QColor accent(QLatin1String(themePalette(false).accent));
    QCOMPARE(contains(image, badgeArea, accent), badge == QLatin1String("accent"));
    QCOMPARE(contains(image, badgeArea, QColor(0x8a, 0x8a, 0x8a)), badge == QLatin1String("grey"));
    // The preview is on the second line, the name above it.
    const QRect secondLine(rowLeft + 60, rowTop + rowHeight / 2, 100, rowHeight / 2 - 2);
    QVERIFY(!inkBounds(image, secondLine, viewBackground).isNull());
}

void TestUserListDelegate::timesAndBadgesReadAsShown_data()
{
    QTest::addColumn<QDateTime>("time");
    QTest::addColumn<QString>("shown");

    const QDateTime now(QDate(2026, 12, 8), QTime(15, 30));
    QTest::addColumn<QDateTime>("now");
    QTest::newRow("today") << QDateTime(QDate(2026, 12, 8), QTime(14, 2)) << QStringLiteral("14:02")
                           << now;
    QTest::newRow("yesterday") << QDateTime(QDate(2026, 12, 7), QTime(23, 59))
                               << QLocale().dayName(1, QLocale::ShortFormat) << now;
    QTest::newRow("six days ago") << QDateTime(QDate(2026, 12, 2), QTime(9, 0))
                                  << QLocale().dayName(3, QLocale::ShortFormat) << now;
    QTest::newRow("a week ago") << QDateTime(QDate(2026, 12, 1), QTime(9, 0))
                                << QLocale().toString(QDate(2026, 12, 1), QLocale::ShortFormat)
                                << now;
    QTest::newRow("in the future")
        << QDateTime(QDate(2027, 1, 1), QTime(9, 0))
        << QLocale().toString(QDate(2027, 1, 1), QLocale::ShortFormat) << now;
}

void TestUserListDelegate::timesAndBadgesReadAsShown()
{
    QFETCH(QDateTime, time);
    QFETCH(QString, shown);
    QFETCH(QDateTime, now);
    QCOMPARE(chatListTime(time, now), shown);
    QCOMPARE(unreadBadgeText(1), QStringLiteral("1"));
    QCOMPARE(unreadBadgeText(99), QStringLiteral("99"));
    QCOMPARE(unreadBadgeText(100), QStringLiteral("99+"));
}

void TestUserListDelegate::rowsAreSixtyPixelsHigh_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("optionHeight");

    QTest::newRow("plain name") << QStringLiteral("Bob") << 250 << 0;
    QTest::newRow("tagged name") << QStringLiteral(R"(Alice [#1e88e5, "Admin"])") << 300 << 20;
    QTest::newRow("empty name") << QString() << 180 << 100;
    QTest::newRow("name wider than the row") << QString(200, QLatin1Char('W')) << 120 << 60;
}

void TestUserListDelegate::rowsAreSixtyPixelsHigh()
{
    QFETCH(QString, name);
    QFETCH(int, width);
    QFETCH(int, optionHeight);

    QStandardItemModel model;
    auto *item = new QStandardItem(name);
    model.appendRow(item);
    QStyleOptionViewItem option;
    option.rect = QRect(0, 0, width, optionHeight);
    option.font = viewFont();
    UserListDelegate delegate;
    QCOMPARE(delegate.sizeHint(option, item->index()), QSize(width, 60));
}

void TestUserListDelegate::nameStartsAfterAvatar_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<bool>("withAvatar");

    QTest::newRow("plain name, no avatar")
        << QStringLiteral("Hubert") << QStringLiteral("Hubert") << false;
    QTest::newRow("plain name, avatar")
        << QStringLiteral("Hubert") << QStringLiteral("Hubert") << true;
    QTest::newRow("tagged name") << QStringLiteral(R"(  Hubert  [#1e88e5, "Admin"])")
                                 << QStringLiteral("Hubert") << true;
}

void TestUserListDelegate::nameStartsAfterAvatar()
{
    QFETCH(QString, name);
    QFETCH(QString, shown);
    QFETCH(bool, withAvatar);

    const Painted painted = paintRow(name, withAvatar ? redPicture() : QIcon());
    const QRect &row = painted.row;
    const QFontMetrics metrics(nameFont());
    const QRect textArea(QPoint(row.left() + 55, row.top()),
        QPoint(row.left() + 60 + metrics.horizontalAdvance(shown) + 2, row.bottom()));
    const QRect ink = inkBounds(painted.image, textArea, viewBackground);
    QVERIFY(!ink.isNull());

    const int firstInk = row.left() + 60 + metrics.leftBearing(shown.at(0));
    QVERIFY2(std::abs(ink.left() - firstInk) <= 1,
        qPrintable(QStringLiteral("name starts at %1, expected %2").arg(ink.left()).arg(firstInk)));
    // A capital stands on the baseline of a line centred in the row.
    const int baseline = row.top() + (row.height() - metrics.height()) / 2 + metrics.ascent();
    QVERIFY2(std::abs(ink.bottom() - (baseline - 1)) <= 1,
        qPrintable(QStringLiteral("ink ends at %1, baseline %2").arg(ink.bottom()).arg(baseline)));
    QVERIFY(ink.top() >= baseline - metrics.ascent());
    QVERIFY(contains(painted.image, ink, textColour, 20));
}

void TestUserListDelegate::avatarDrawnInFortyPixelSquare_data()
{
    QTest::addColumn<bool>("withAvatar");

    QTest::newRow("avatar") << true;
    QTest::newRow("no avatar") << false;
}

void TestUserListDelegate::avatarDrawnInFortyPixelSquare()
{
    QFETCH(bool, withAvatar);

    const Painted painted = paintRow(QStringLiteral("Bob"), withAvatar ? redPicture() : QIcon());
    const QRect &row = painted.row;
    const QRect square(row.left() + 10, row.top() + 10, 40, 40);
    const QRect ink =
        inkBounds(painted.image, row.adjusted(0, 0, -(row.width() - 55), 0), viewBackground);
    if (!withAvatar) {
        QVERIFY(ink.isNull());
        return;
    }
    QCOMPARE(ink, square);
    QCOMPARE(painted.image.pixelColor(square.center()), QColor(Qt::red));
}

void TestUserListDelegate::tagPillAfterName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QColor>("colour");
    QTest::addColumn<QString>("label");

    QTest::newRow("blue tag") << QStringLiteral(R"(Alice [#1e88e5, "Admin"])")
                              << QStringLiteral("Alice") << QColor(QStringLiteral("#1e88e5"))
                              << QStringLiteral("Admin");
    QTest::newRow("upper-case hex, no blank after the comma")
        << QStringLiteral(R"(Bob Builder   [#C62828,"Ops"])") << QStringLiteral("Bob Builder")
        << QColor(QStringLiteral("#C62828")) << QStringLiteral("Ops");
    QTest::newRow("empty label") << QStringLiteral(R"(Carol [#2E7D32, ""])")
                                 << QStringLiteral("Carol") << QColor(QStringLiteral("#2E7D32"))
                                 << QString();
}

void TestUserListDelegate::tagPillAfterName()
{
    QFETCH(QString, name);
    QFETCH(QString, shown);
    QFETCH(QColor, colour);
    QFETCH(QString, label);

    const Painted painted = paintRow(name);
    const QImage &image = painted.image;
    const QRect &row = painted.row;
    const int middle = (row.top() + row.bottom()) / 2;
    const QRect pill(row.left() + 60 + QFontMetrics(nameFont()).horizontalAdvance(shown) + 8,
        middle - 9,
        QFontMetrics(labelFont()).horizontalAdvance(label) + 12,
        18);

    // Exactly the pill's rectangle is filled; corners are rounded.
    const int x = pill.center().x();
    const int y = pill.center().y();
    QCOMPARE(image.pixelColor(pill.left(), y), colour);
    QCOMPARE(image.pixelColor(pill.right(), y), colour);
    QCOMPARE(image.pixelColor(x, pill.top()), colour);
    QCOMPARE(image.pixelColor(x, pill.bottom()), colour);
    QCOMPARE(image.pixelColor(pill.left() - 1, y), viewBackground);
    QCOMPARE(image.pixelColor(pill.right() + 1, y), viewBackground);
    QCOMPARE(image.pixelColor(x, pill.top() - 1), viewBackground);
    QCOMPARE(image.pixelColor(x, pill.bottom() + 1), viewBackground);
    QCOMPARE(image.pixelColor(pill.topLeft()), viewBackground);
    QCOMPARE(image.pixelColor(pill.bottomRight()), viewBackground);

    // The label, in white, centred in the pill.
    const QRect labelInk = inkBounds(image, pill.adjusted(1, 1, -1, -1), colour);
    QCOMPARE(labelInk.isNull(), label.isEmpty());
    if (!label.isEmpty()) {
        QVERIFY(contains(image, labelInk, Qt::white, 30));
        QVERIFY(std::abs((labelInk.left() - pill.left()) - (pill.right() - labelInk.right())) <= 2);
    }
    // Nothing is drawn after the pill.
    QVERIFY(inkBounds(
        image, QRect(QPoint(pill.right() + 1, row.top()), row.bottomRight()), viewBackground)
                .isNull());
}

void TestUserListDelegate::longNameEndsInsideTheRow_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("tagged");

    const QString longName =
        QStringLiteral("Bartholomew Montgomery-Fitzwilliam of Upper Gloucester");
    QTest::newRow("plain") << longName << false;
    QTest::newRow("tagged") << longName + QStringLiteral(R"( [#1e88e5, "Admin"])") << true;
}

void TestUserListDelegate::longNameEndsInsideTheRow()
{
    QFETCH(QString, name);
    QFETCH(bool, tagged);

    const Painted painted = paintRow(name);
    const QRect &row = painted.row;
    const QRect ink = inkBounds(painted.image, row.adjusted(55, 0, 0, 0), viewBackground);
    QVERIFY2(ink.right() <= row.right() - 10,
        qPrintable(QStringLiteral("ink ends at %1 of %2").arg(ink.right()).arg(row.right())));
    QVERIFY(ink.right() >= row.right() - 60);
    // The tag keeps its pill after the shortened name.
    QCOMPARE(contains(painted.image, row, QColor(QStringLiteral("#1e88e5")), 0), tagged);
}

void TestUserListDelegate::malformedTagShownAsText_data()
{
    QTest::addColumn<QString>("name");

    QTest::newRow("five hex digits") << QStringLiteral(R"(Eve [#1e88e, "Admin"])");
    QTest::newRow("missing quotes") << QStringLiteral(R"(Eve [#1e88e5, Admin])");
    QTest::newRow("text after the bracket") << QStringLiteral(R"(Eve [#1e88e5, "Admin"] x)");
    QTest::newRow("no blank before the bracket") << QStringLiteral(R"(Eve[#1e88e5, "Admin"])");
}

void TestUserListDelegate::malformedTagShownAsText()
{
    QFETCH(QString, name);

    const Painted painted = paintRow(name);
    const QRect &row = painted.row;
    const QRect ink = inkBounds(painted.image, row.adjusted(55, 0, 0, 0), viewBackground);
    const int end = row.left() + 60 + QFontMetrics(nameFont()).horizontalAdvance(name);
    QVERIFY2(std::abs(ink.right() - end) <= 2,
        qPrintable(
            QStringLiteral("ink ends at %1, the whole name at %2").arg(ink.right()).arg(end)));
    QVERIFY(ink.height() < 18);
    QVERIFY(!contains(painted.image, row, QColor(QStringLiteral("#1e88e5")), 30));
}

void TestUserListDelegate::nameColourFollowsSelection_data()
{
    QTest::addColumn<bool>("selected");
    QTest::addColumn<QColor>("colour");
    QTest::addColumn<QColor>("absent");

    QTest::newRow("selected") << true << QColor(Qt::white) << textColour;
    QTest::newRow("not selected") << false << textColour << QColor(Qt::white);
}

void TestUserListDelegate::nameColourFollowsSelection()
{
    QFETCH(bool, selected);
    QFETCH(QColor, colour);
    QFETCH(QColor, absent);

    const Painted painted = paintRow(QStringLiteral("Mallory"), QIcon(), selected);
    const QRect &row = painted.row;
    const QRect textArea(
        QPoint(row.left() + 58, row.top() + 5), QPoint(row.right(), row.bottom() - 5));
    QVERIFY(contains(painted.image, textArea, colour, 20));
    QVERIFY(!contains(painted.image, textArea, absent, 60));
}

void TestUserListDelegate::selectionBackgroundFromViewStyleSheet()
{
    QListWidget list;
    list.setStyleSheet(
        QStringLiteral("QListWidget::item:selected { background-color: #0088cc; color: white; }"));
    list.addItem(QStringLiteral("Bob"));
    UserListDelegate delegate;
    const QModelIndex index = list.model()->index(0, 0);

    QStyleOptionViewItem option = optionFor(true, &list);
    QImage image(viewWidth, 3 * rowHeight, QImage::Format_ARGB32_Premultiplied);
    image.fill(viewBackground);
    QPainter painter(&image);
    delegate.paint(&painter, option, index);
    painter.end();

    const QRect &row = option.rect;
    QCOMPARE(
        image.pixelColor(row.left() + 55, row.center().y()), QColor(QStringLiteral("#0088cc")));
    QCOMPARE(image.pixelColor(row.right() - 2, row.top() + 2), QColor(QStringLiteral("#0088cc")));
    QCOMPARE(image.pixelColor(row.left() + 55, row.top() - 2), viewBackground);
}

void TestUserListDelegate::renderHintsLeftAsReceived()
{
    // Without antialiasing the rounded corners of the pill stay hard: every pixel there is
    // either the tag's colour or the background.
    const QColor colour(QStringLiteral("#1e88e5"));
    const QString name = QStringLiteral(R"(Alice [#1e88e5, "Admin"])");
    const QFontMetrics metrics(nameFont());
    for (bool antialiased : { false, true }) {
        const Painted painted = paintRow(name, QIcon(), false, antialiased);
        const QRect &row = painted.row;
        const int middle = (row.top() + row.bottom()) / 2;
        const QRect corner(row.left() + 60 + metrics.horizontalAdvance(QStringLiteral("Alice")) + 8,
            middle - 9,
            4,
            4);
        bool blended = false;
        for (int y = corner.top(); y <= corner.bottom(); ++y) {
            for (int x = corner.left(); x <= corner.right(); ++x) {
                const QColor pixel = painted.image.pixelColor(x, y);
                blended = blended || (pixel != colour && pixel != viewBackground);
            }
        }
        QCOMPARE(blended, antialiased);
    }
}

QTEST_MAIN(TestUserListDelegate)
#include "tst_userlistdelegate.moc"
