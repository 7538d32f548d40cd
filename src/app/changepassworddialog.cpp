#include "changepassworddialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

ChangePasswordDialog::ChangePasswordDialog(QWidget *parent)
    : QDialog(parent)
    , currentEdit(new QLineEdit)
    , newEdit(new QLineEdit)
    , againEdit(new QLineEdit)
    , messageLabel(new QLabel)
    , changeButton(new QPushButton(QStringLiteral("Change Password")))
    , closeButton(new QPushButton(QStringLiteral("Cancel")))
{
    setWindowTitle(QStringLiteral("Change Password"));
    setObjectName(QStringLiteral("changePasswordDialog"));
    for (QLineEdit *edit : { currentEdit, newEdit, againEdit }) {
        edit->setEchoMode(QLineEdit::Password);
        edit->setMinimumWidth(240);
        connect(edit, &QLineEdit::textChanged, this, &ChangePasswordDialog::updateButton);
    }
    currentEdit->setObjectName(QStringLiteral("currentPassword"));
    newEdit->setObjectName(QStringLiteral("newPassword"));
    againEdit->setObjectName(QStringLiteral("newPasswordAgain"));
    messageLabel->setObjectName(QStringLiteral("changePasswordMessage"));
    messageLabel->setWordWrap(true);
    messageLabel->hide();

    auto *form = new QFormLayout;
    // Level with the text in the fields, which are taller than a label.
    form->setLabelAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    form->addRow(QStringLiteral("Current password:"), currentEdit);
    form->addRow(QStringLiteral("New password:"), newEdit);
    form->addRow(QStringLiteral("New password again:"), againEdit);

    auto *buttons = new QDialogButtonBox;
    changeButton->setDefault(true);
    buttons->addButton(changeButton, QDialogButtonBox::AcceptRole);
    buttons->addButton(closeButton, QDialogButtonBox::RejectRole);
    // Accepting is the server's to say, not the button's.
    connect(changeButton, &QPushButton::clicked, this, &ChangePasswordDialog::onChangeClicked);
    connect(closeButton, &QPushButton::clicked, this, &QDialog::reject);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(messageLabel);
    layout->addWidget(buttons);
    updateButton();
}

void ChangePasswordDialog::updateButton()
{
    changeButton->setEnabled(!currentEdit->text().isEmpty() && !newEdit->text().isEmpty()
        && !againEdit->text().isEmpty());
}

void ChangePasswordDialog::onChangeClicked()
{
    if (newEdit->text() != againEdit->text()) {
        showError(QStringLiteral("The new passwords do not match."));
        againEdit->selectAll();
        againEdit->setFocus(Qt::OtherFocusReason);
        return;
    }
    messageLabel->setText(QStringLiteral("Changing the password..."));
    messageLabel->show();
    setBusy(true);
    emit changeRequested(currentEdit->text(), newEdit->text());
}

void ChangePasswordDialog::setBusy(bool busy)
{
    for (QLineEdit *edit : { currentEdit, newEdit, againEdit })
        edit->setEnabled(!busy);
    if (busy)
        changeButton->setEnabled(false);
    else
        updateButton();
}

void ChangePasswordDialog::showError(const QString &message)
{
    messageLabel->setText(message);
    messageLabel->show();
    setBusy(false);
}

void ChangePasswordDialog::showChanged()
{
    for (QLineEdit *edit : { currentEdit, newEdit, againEdit }) {
        edit->clear();
        edit->setEnabled(false);
    }
    messageLabel->setText(
        QStringLiteral("Your password was changed and saved for your next login. Your other "
                       "devices have been logged out."));
    messageLabel->show();
    changeButton->hide();
    closeButton->setText(QStringLiteral("Close"));
    closeButton->setDefault(true);
    closeButton->setFocus(Qt::OtherFocusReason);
}
