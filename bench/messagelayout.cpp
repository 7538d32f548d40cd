// ferrow-layoutbench: how long the message delegate takes to lay out and paint one row, for
// ordinary messages and for the overlong ones a server may send. Run headless:
//
//   QT_QPA_PLATFORM=offscreen build/ferrow-layoutbench
//
// Every scrolled row is laid out again for its height and once more when it is painted, so a
// row that takes tens of milliseconds here makes scrolling stutter.

#include "model/itemroles.h"
#include "model/message.h"
#include "view/messagedelegate.h"

#include <QApplication>
#include <QImage>
#include <QListWidget>
#include <QPainter>
#include <QStyleOptionViewItem>
#include <benchmark/benchmark.h>

namespace
{

constexpr int viewWidth = 800;

QString textOfKind(int kind)
{
    switch (kind) {
    case 0:
        return QStringLiteral("See you at 12:30.");
    case 1:
        return QStringLiteral("A paragraph of ordinary words that wraps over several lines. ")
            .repeated(16);
    case 2:
        return QString(100000, QLatin1Char('x'));
    default:
        return QStringLiteral("word ").repeated(20000);
    }
}

const char *labelOfKind(int kind)
{
    static const char *const labels[] = {
        "short", "1000 chars of words", "100000-char word", "100000 chars of words"
    };
    return labels[kind];
}

void BM_BubbleLayout(benchmark::State &state)
{
    const MessageDelegate delegate;
    const QString text = textOfKind(static_cast<int>(state.range(0)));
    state.SetLabel(labelOfKind(static_cast<int>(state.range(0))));
    for (auto _ : state) {
        QRect bubble, textRect, sender, avatar, reply;
        int height = 0;
        delegate.getBubbleLayout(text,
            QStringLiteral("bob [#e91e63, \"admin\"]"),
            false,
            viewWidth,
            bubble,
            textRect,
            sender,
            avatar,
            height,
            true,
            QStringLiteral("Anyone up for lunch at the new place aro..."),
            reply);
        benchmark::DoNotOptimize(height);
    }
}
BENCHMARK(BM_BubbleLayout)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);

void BM_PaintRow(benchmark::State &state)
{
    QListWidget list;
    auto *delegate = new MessageDelegate(&list);
    list.setItemDelegate(delegate);
    auto *item = new QListWidgetItem(&list);
    item->setData(MessageIdRole, QStringLiteral("m1"));
    item->setData(TextRole, textOfKind(static_cast<int>(state.range(0))));
    item->setData(SenderNameRole, QStringLiteral("bob"));
    item->setData(IsOwnRole, false);
    item->setData(TimestampRole, qint64(1700000000));
    item->setData(StatusRole, int(Sent));
    state.SetLabel(labelOfKind(static_cast<int>(state.range(0))));

    QStyleOptionViewItem option;
    option.initFrom(&list);
    option.rect = QRect(0, 0, viewWidth, 0);
    const QModelIndex index = list.model()->index(0, 0);
    option.rect.setHeight(delegate->sizeHint(option, index).height());
    QImage image(viewWidth, std::min(option.rect.height(), 4000), QImage::Format_ARGB32);
    for (auto _ : state) {
        QPainter painter(&image);
        delegate->paint(&painter, option, index);
    }
}
BENCHMARK(BM_PaintRow)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
