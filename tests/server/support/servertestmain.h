#pragma once

#include "epolldispatcher.h"

#include <QCoreApplication>
#include <QTest>

// The server's tests run on the event loop the server itself runs on.
#define FERROW_SERVER_TEST_MAIN(TestObject)                                                        \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        installEpollEventDispatcher();                                                             \
        QCoreApplication app(argc, argv);                                                          \
        TestObject test;                                                                           \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
