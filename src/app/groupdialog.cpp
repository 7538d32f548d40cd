#include "app/groupdialog.h"

#include "model/itemroles.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

namespace
{

// What the server takes as a group's name, in characters after trimming.
constexpr int maxNameLength = 100;

} // namespace

GroupDialog::GroupDialog(Mode mode,
    const std::vector<User> &contacts,
    const std::function<QIcon(const User &)> &avatar,
    QWidget *parent)
    : QDialog(parent)
    , filterEdit(new QLineEdit)
    , contactList(new QListWidget)
    , errorLabel(new QLabel)
    , submitButton(
          new QPushButton(mode == Mode::Create ? QStringLiteral("Create") : QStringLiteral("Add")))
{
    setWindowTitle(
        mode == Mode::Create ? QStringLiteral("New Group") : QStringLiteral("Add Members"));
    auto *layout = new QVBoxLayout(this);
    if (mode == Mode::Create) {
        nameEdit = new QLineEdit;
        nameEdit->setObjectName(QStringLiteral("groupName"));
        nameEdit->setPlaceholderText(QStringLiteral("Group name"));
        nameEdit->setMaxLength(maxNameLength);
        layout->addWidget(nameEdit);
        connect(nameEdit, &QLineEdit::textChanged, this, &GroupDialog::updateButton);
    }
    filterEdit->setObjectName(QStringLiteral("groupFilter"));
    filterEdit->setPlaceholderText(QStringLiteral("Filter contacts"));
    filterEdit->setClearButtonEnabled(true);
    layout->addWidget(filterEdit);
    contactList->setObjectName(QStringLiteral("groupContacts"));
    contactList->setIconSize(QSize(24, 24));
    for (const User &user : contacts) {
        auto *item = new QListWidgetItem(avatar(user), user.username, contactList);
        item->setData(IdRole, user.id);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Unchecked);
    }
    layout->addWidget(contactList);
    errorLabel->setObjectName(QStringLiteral("groupError"));
    errorLabel->setWordWrap(true);
    errorLabel->setStyleSheet(QStringLiteral("color: #e05252;"));
    errorLabel->hide();
    layout->addWidget(errorLabel);
    auto *buttons = new QDialogButtonBox;
    buttons->addButton(submitButton, QDialogButtonBox::AcceptRole);
    buttons->addButton(QDialogButtonBox::Cancel);
    layout->addWidget(buttons);

    connect(filterEdit, &QLineEdit::textChanged, this, &GroupDialog::filter);
    connect(contactList, &QListWidget::itemChanged, this, &GroupDialog::updateButton);
    connect(submitButton, &QAbstractButton::clicked, this, [this] {
        errorLabel->hide();
        emit submitted();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    updateButton();
    resize(360, 420);
}

QString GroupDialog::name() const
{
    return nameEdit ? nameEdit->text().trimmed() : QString();
}

QStringList GroupDialog::memberIds() const
{
    QStringList ids;
    for (int row = 0; row < contactList->count(); ++row) {
        const QListWidgetItem *item = contactList->item(row);
        if (item->checkState() == Qt::Checked)
            ids.append(item->data(IdRole).toString());
    }
    return ids;
}

void GroupDialog::showError(const QString &message)
{
    setBusy(false);
    errorLabel->setText(message);
    errorLabel->show();
}

void GroupDialog::setBusy(bool waiting)
{
    busy = waiting;
    if (nameEdit)
        nameEdit->setEnabled(!busy);
    contactList->setEnabled(!busy);
    updateButton();
}

void GroupDialog::updateButton()
{
    submitButton->setEnabled(!busy && (!nameEdit || !name().isEmpty()) && !memberIds().isEmpty());
}

void GroupDialog::filter(const QString &text)
{
    const QString wanted = text.trimmed();
    for (int row = 0; row < contactList->count(); ++row) {
        QListWidgetItem *item = contactList->item(row);
        // Ticked contacts stay in sight, so that nothing is chosen unseen.
        item->setHidden(item->checkState() != Qt::Checked
            && !item->text().contains(wanted, Qt::CaseInsensitive));
    }
}
