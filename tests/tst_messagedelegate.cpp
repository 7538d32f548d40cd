#include "view/messagedelegate.h"

#include <QtTest>

class TestMessageDelegate : public QObject
{
    Q_OBJECT

private slots:
    void constructs();
};

void TestMessageDelegate::constructs()
{
    MessageDelegate delegate;
    QVERIFY(delegate.parent() == nullptr);
}

QTEST_MAIN(TestMessageDelegate)
#include "tst_messagedelegate.moc"
