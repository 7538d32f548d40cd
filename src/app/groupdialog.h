#pragma once

#include "model/user.h"

#include <QDialog>
#include <QIcon>
#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

// "New Group…" and "Add Members…": the contacts to take in, with check boxes and filtered as one
// types, and for a new group its name. It only asks: whoever opens it sends the request on
// `submitted` and reports a refusal back with showError().
class GroupDialog : public QDialog
{
    Q_OBJECT

public:
    enum class Mode { Create, AddMembers };

    GroupDialog(Mode mode,
        const std::vector<User> &contacts,
        const std::function<QIcon(const User &)> &avatar,
        QWidget *parent = nullptr);

    QString name() const;
    // The checked contacts, in the order listed.
    QStringList memberIds() const;
    // The server's refusal, or why nothing could be asked; the choice can be changed and sent
    // again.
    void showError(const QString &message);
    // Waiting for the server's answer: nothing can be changed meanwhile.
    void setBusy(bool busy);

signals:
    void submitted();

private:
    void updateButton();
    void filter(const QString &text);

    QLineEdit *nameEdit = nullptr;
    QLineEdit *filterEdit;
    QListWidget *contactList;
    QLabel *errorLabel;
    QPushButton *submitButton;
    bool busy = false;
};
