// MainWindow's sending: new messages with a local copy, replies and saved edits.
#include "app/mainwindow.h"

void MainWindow::onSendBtnClicked()
{
}
