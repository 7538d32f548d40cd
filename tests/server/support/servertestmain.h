#pragma once

#include "eventloop.h"

#include <QCoreApplication>
#include <QTest>

// The server's tests run on the event loop the server itself runs on: the default, or the one
// FERROW_EVENT_LOOP names ("qt" or "epoll"), so that CI runs them on both.
#define FERROW_SERVER_TEST_MAIN(TestObject)                                                        \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        installEventLoop(                                                                          \
            eventLoopNamed(qEnvironmentVariable("FERROW_EVENT_LOOP")).value_or(defaultEventLoop)); \
        QCoreApplication app(argc, argv);                                                          \
        TestObject test;                                                                           \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
