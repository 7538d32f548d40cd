#include "view/userlistdelegate.h"

#include <QtTest>

class TestUserListDelegate : public QObject
{
    Q_OBJECT

private slots:
    void constructs();
};

void TestUserListDelegate::constructs()
{
    UserListDelegate delegate;
    QVERIFY(delegate.parent() == nullptr);
}

QTEST_MAIN(TestUserListDelegate)
#include "tst_userlistdelegate.moc"
