#pragma once

#include "app/mainwindow.h"
#include "testserver.h"
#include "windowprobe.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

class QListWidget;

// A window connected to a test server: the usual starting point of a window test.
class Session
{
public:
    // Starts the server and opens a window on it; waits until the window is connected.
    Session();
    ~Session();

    bool connected() const
    {
        return ok;
    }

    // Logs in as `userId` through the login page and answers with "login_success"; the server's
    // frames list is emptied afterwards.
    bool logIn(const QString &userId, const QString &username = QString());
    // Sends a frame to the window and waits until the window has handled it.
    void push(const QJsonObject &frame);
    void push(const char *json);

    TestServer server;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<WindowProbe> probe;

private:
    bool ok = false;
};

QJsonObject json(const char *text);

// Opens a menu with `open`, answers it with the action named `choice` (none when no such action;
// with `closeFirst` the menu is closed before the action runs) and returns what it offered.
QStringList chooseInNextMenu(
    const QString &choice, const std::function<void()> &open, bool closeFirst = false);
// Opens the context menu of message row `row` and triggers the action named `choice`; returns
// the menu's action texts.
QStringList chooseInMenu(QListWidget *list, int row, const QString &choice);
