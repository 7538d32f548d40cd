#pragma once

#include <QDialog>
#include <QString>

class QLabel;
class QLineEdit;
class QPushButton;

// "Change Password…" of the Settings tab: the current password and the new one twice. It only
// asks: whoever opens it sends the change and reports the answer back with showChanged() or
// showError().
class ChangePasswordDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ChangePasswordDialog(QWidget *parent = nullptr);

    // The server's refusal, or why the change could not be asked for; the fields can be
    // corrected and the change asked for again.
    void showError(const QString &message);
    // The change is done: says so, and offers only "Close".
    void showChanged();

signals:
    void changeRequested(const QString &oldPassword, const QString &newPassword);

private:
    void onChangeClicked();
    void updateButton();
    void setBusy(bool busy);

    QLineEdit *currentEdit;
    QLineEdit *newEdit;
    QLineEdit *againEdit;
    QLabel *messageLabel;
    QPushButton *changeButton;
    QPushButton *closeButton;
};
