// MainWindow's widget tree: the login page and the chat page, built in code.
#include "mainwindow.h"
#include "view/attachmentstrip.h"
#include "view/elidedlabel.h"
#include "view/messagedelegate.h"
#include "view/userlistdelegate.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QStackedWidget>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>
#include <utility>

namespace
{

// Its colours are the theme's (the window's style sheet addresses it by its object name).
QPushButton *makeCancelButton(const QString &objectName)
{
    auto *button = new QPushButton(QStringLiteral("X"));
    button->setObjectName(objectName);
    button->setFixedSize(25, 25);
    button->setCursor(Qt::PointingHandCursor);
    return button;
}

// A paperclip drawn for the attach button: icon themes are missing on many desktops. White on
// the accent, as the text of "Send"; grey while the button is off.
QIcon paperclipIcon()
{
    QIcon icon;
    for (const auto &[mode, colour] : { std::pair(QIcon::Normal, QColor(Qt::white)),
             std::pair(QIcon::Disabled, QColor(0x80, 0x80, 0x80)) }) {
        for (const int side : { 20, 40 }) {
            QPixmap pixmap(side, side);
            pixmap.fill(Qt::transparent);
            QPainter painter(&pixmap);
            painter.setRenderHint(QPainter::Antialiasing);
            painter.scale(side / 20.0, side / 20.0);
            painter.setPen(QPen(colour, 1.6, Qt::SolidLine, Qt::RoundCap));
            QPainterPath clip;
            clip.moveTo(12.5, 6);
            clip.lineTo(12.5, 14);
            clip.arcTo(7.5, 11.5, 5, 5, 0, -180);
            clip.lineTo(7.5, 4.5);
            clip.arcTo(7.5, 1, 7, 7, 180, -180);
            clip.lineTo(14.5, 14.5);
            clip.arcTo(5.5, 10, 9, 9, 0, -180);
            clip.lineTo(5.5, 7);
            painter.drawPath(clip);
            painter.end();
            icon.addPixmap(pixmap, mode);
        }
    }
    return icon;
}

void setUpSidebarList(QListWidget *list, QObject *delegateParent)
{
    list->setIconSize(QSize(42, 42));
    list->setItemDelegate(new UserListDelegate(delegateParent));
    list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
}

} // namespace

void MainWindow::setupUi()
{
    resize(1000, 700);
    setWindowTitle(QStringLiteral("Ferrow Desktop"));

    stackedWidget = new QStackedWidget(this);
    setCentralWidget(stackedWidget);

    // Login page.
    loginPage = new QWidget;
    auto *loginLayout = new QVBoxLayout(loginPage);
    auto *titleLabel = new QLabel(QStringLiteral("Ferrow"));
    titleLabel->setStyleSheet(
        QStringLiteral("font-size: 32px; font-weight: bold; margin-bottom: 20px;"));
    titleLabel->setAlignment(Qt::AlignCenter);
    usernameEdit = new QLineEdit;
    usernameEdit->setPlaceholderText(QStringLiteral("Username"));
    passwordEdit = new QLineEdit;
    passwordEdit->setPlaceholderText(QStringLiteral("Password"));
    passwordEdit->setEchoMode(QLineEdit::Password);
    loginButton = new QPushButton(QStringLiteral("Log In"));
    loginButton->setCursor(Qt::PointingHandCursor);
    loginButton->setMinimumHeight(40);
    statusLabel = new QLabel(QStringLiteral("Waiting for connection..."));
    statusLabel->setAlignment(Qt::AlignCenter);
    // A certificate error is a long sentence; it wraps instead of widening the window.
    statusLabel->setWordWrap(true);
    loginLayout->addStretch();
    loginLayout->addWidget(titleLabel);
    loginLayout->addWidget(usernameEdit);
    loginLayout->addWidget(passwordEdit);
    loginLayout->addWidget(loginButton);
    loginLayout->addWidget(statusLabel);
    loginLayout->addStretch();
    loginLayout->setContentsMargins(300, 50, 300, 50);
    stackedWidget->addWidget(loginPage);

    // Chat page: sidebar and chat area side by side.
    chatPage = new QWidget;
    auto *chatLayout = new QHBoxLayout(chatPage);
    chatLayout->setContentsMargins(0, 0, 0, 0);
    chatLayout->setSpacing(0);

    sidebarTabs = new QTabWidget;
    sidebarTabs->setFixedWidth(300);
    sidebarTabs->setTabPosition(QTabWidget::South);
    chatListWidget = new QListWidget;
    setUpSidebarList(chatListWidget, this);
    chatListWidget->setContextMenuPolicy(Qt::CustomContextMenu);
    contactListWidget = new QListWidget;
    setUpSidebarList(contactListWidget, this);

    settingsPage = new QWidget;
    auto *settingsLayout = new QVBoxLayout(settingsPage);
    auto *darkModeCheckBox = new QCheckBox(QStringLiteral("Dark Mode"));
    darkModeCheckBox->setChecked(darkMode);
    connect(darkModeCheckBox, &QAbstractButton::toggled, this, &MainWindow::onDarkModeToggled);
    notificationsCheckBox = new QCheckBox(QStringLiteral("Notifications"));
    notificationsCheckBox->setChecked(notificationsEnabled);
    connect(notificationsCheckBox,
        &QAbstractButton::toggled,
        this,
        &MainWindow::onNotificationsToggled);
    changePasswordButton = new QPushButton(QStringLiteral("Change Password…"));
    changePasswordButton->setObjectName(QStringLiteral("changePasswordButton"));
    connect(changePasswordButton,
        &QAbstractButton::clicked,
        this,
        &MainWindow::onChangePasswordClicked);
    previewsCheckBox = new QCheckBox(QStringLiteral("Show previews and unread counts"));
    previewsCheckBox->setChecked(showPreviews);
    connect(previewsCheckBox, &QAbstractButton::toggled, this, &MainWindow::onPreviewsToggled);
    typingCheckBox = new QCheckBox(QStringLiteral("Send typing notifications"));
    picturesCheckBox = new QCheckBox(QStringLiteral("Show pictures in messages"));
    picturesCheckBox->setObjectName(QStringLiteral("showPictures"));
    auto *logoutButton = new QPushButton(QStringLiteral("Log Out"));
    connect(logoutButton, &QAbstractButton::clicked, this, &MainWindow::onLogoutClicked);
    settingsLayout->addWidget(new QLabel(QStringLiteral("Settings")));
    settingsLayout->addWidget(darkModeCheckBox);
    settingsLayout->addWidget(notificationsCheckBox);
    settingsLayout->addWidget(previewsCheckBox);
    settingsLayout->addWidget(typingCheckBox);
    settingsLayout->addWidget(picturesCheckBox);
    passwordNotice = new QLabel(
        QStringLiteral("Your password is stored unencrypted in the settings file, because no "
                       "secret store (such as GNOME Keyring or KWallet) is available."));
    passwordNotice->setObjectName(QStringLiteral("passwordNotice"));
    passwordNotice->setWordWrap(true);
    passwordNotice->hide();
    settingsLayout->addWidget(passwordNotice);
    settingsLayout->addStretch();
    settingsLayout->addWidget(changePasswordButton);
    settingsLayout->addWidget(logoutButton);
    settingsLayout->addSpacing(20);

    sidebarTabs->addTab(chatListWidget, QStringLiteral("Chats"));
    sidebarTabs->addTab(contactListWidget, QStringLiteral("Contacts"));
    sidebarTabs->addTab(settingsPage, QStringLiteral("Settings"));

    chatArea = new QWidget;
    auto *chatAreaLayout = new QVBoxLayout(chatArea);
    chatAreaLayout->setContentsMargins(0, 0, 0, 0);
    chatAreaLayout->setSpacing(0);

    auto *chatHeader = new QWidget;
    chatHeader->setObjectName(QStringLiteral("chatHeader"));
    chatHeader->setFixedHeight(60);
    auto *headerRow = new QHBoxLayout(chatHeader);
    auto *headerLayout = new QVBoxLayout;
    headerLayout->setSpacing(0);
    headerRow->addLayout(headerLayout, 1);
    // A group's members and its menu, shown while a group is open.
    membersButton = new QToolButton;
    membersButton->setObjectName(QStringLiteral("membersButton"));
    membersButton->setToolButtonStyle(Qt::ToolButtonTextOnly);
    membersButton->setCursor(Qt::PointingHandCursor);
    membersButton->hide();
    headerRow->addWidget(membersButton);
    groupMenuButton = new QToolButton;
    groupMenuButton->setObjectName(QStringLiteral("groupMenuButton"));
    groupMenuButton->setText(QStringLiteral("\u22EE"));
    groupMenuButton->setToolTip(QStringLiteral("Group"));
    groupMenuButton->setAccessibleName(QStringLiteral("Group menu"));
    groupMenuButton->setCursor(Qt::PointingHandCursor);
    groupMenuButton->hide();
    headerRow->addWidget(groupMenuButton);
    chatTitleLabel = new ElidedLabel(QStringLiteral("Select a chat"));
    chatTitleLabel->setToolTip(chatTitleLabel->text());
    chatTitleLabel->setStyleSheet(
        QStringLiteral("font-size: 16px; font-weight: bold; margin-left: 10px;"));
    headerLayout->addWidget(chatTitleLabel);
    // Hidden while nobody types, so that the name stays where it always is.
    typingLabel = new QLabel;
    typingLabel->setObjectName(QStringLiteral("typingLabel"));
    typingLabel->setStyleSheet(QStringLiteral("font-size: 12px; margin-left: 10px;"));
    typingLabel->hide();
    headerLayout->addWidget(typingLabel);

    messageListWidget = new QListWidget;
    messageListWidget->setObjectName(QStringLiteral("chatList"));
    messageListWidget->setFrameShape(QFrame::NoFrame);
    messageListWidget->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    messageListWidget->setUniformItemSizes(false);
    messageListWidget->setResizeMode(QListView::Adjust);
    messageListWidget->setSelectionMode(QAbstractItemView::NoSelection);
    messageListWidget->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Parented to the window so that it goes with it; the view does not own its delegate.
    auto *messageDelegate = new MessageDelegate(this);
    messageListWidget->setItemDelegate(messageDelegate);
    connect(
        messageDelegate, &MessageDelegate::replyQuoteClicked, this, &MainWindow::focusOnMessage);
    messageListWidget->setContextMenuPolicy(Qt::CustomContextMenu);
    // The message clicked or moved to with the arrow keys is the one Ctrl+C copies.
    auto *copy =
        new QShortcut(QKeySequence::Copy, messageListWidget, nullptr, nullptr, Qt::WidgetShortcut);
    connect(copy, &QShortcut::activated, this, &MainWindow::copyCurrentMessage);
    connect(messageListWidget,
        &QWidget::customContextMenuRequested,
        this,
        &MainWindow::onChatListContextMenu);
    connect(
        messageListWidget, &QAbstractItemView::clicked, this, &MainWindow::onChatListItemClicked);
    connect(messageListWidget->verticalScrollBar(),
        &QAbstractSlider::valueChanged,
        this,
        &MainWindow::onScrollValueChanged);

    replyBar = new QWidget;
    replyBar->setObjectName(QStringLiteral("replyBar"));
    replyBar->setFixedHeight(40);
    replyBar->hide();
    auto *replyLayout = new QHBoxLayout(replyBar);
    // Two lines in 40 pixels: tight, so that no descender is cut.
    replyLayout->setContentsMargins(10, 2, 10, 2);
    auto *replyTextColumn = new QVBoxLayout;
    replyTextColumn->setSpacing(0);
    auto *replyingToLabel = new QLabel(QStringLiteral("Replying to:"));
    replyingToLabel->setStyleSheet(QStringLiteral("font-size: 10px;"));
    replyPreviewLabel = new QLabel;
    replyPreviewLabel->setObjectName(QStringLiteral("replyPreview"));
    replyPreviewLabel->setStyleSheet(QStringLiteral("font-weight: 500;"));
    replyTextColumn->addWidget(replyingToLabel);
    replyTextColumn->addWidget(replyPreviewLabel);
    cancelReplyButton = makeCancelButton(QStringLiteral("cancelReply"));
    replyLayout->addLayout(replyTextColumn);
    replyLayout->addStretch();
    replyLayout->addWidget(cancelReplyButton);
    connect(cancelReplyButton, &QAbstractButton::clicked, this, &MainWindow::onCancelReply);

    editBar = new QWidget;
    editBar->setObjectName(QStringLiteral("editBar"));
    editBar->setFixedHeight(35);
    editBar->hide();
    auto *editLayout = new QHBoxLayout(editBar);
    editLayout->setContentsMargins(10, 5, 10, 5);
    editLabel = new QLabel(QStringLiteral("Editing: "));
    editLabel->setStyleSheet(QStringLiteral("font-style: italic;"));
    cancelEditButton = makeCancelButton(QStringLiteral("cancelEdit"));
    editLayout->addWidget(editLabel);
    editLayout->addStretch();
    editLayout->addWidget(cancelEditButton);
    connect(cancelEditButton, &QAbstractButton::clicked, this, &MainWindow::onCancelEdit);

    auto *inputArea = new QWidget;
    inputArea->setObjectName(QStringLiteral("inputArea"));
    inputArea->setFixedHeight(60);
    auto *inputLayout = new QHBoxLayout(inputArea);
    messageInput = new QLineEdit;
    messageInput->setPlaceholderText(QStringLiteral("Write a message..."));
    sendButton = new QPushButton(QStringLiteral("Send"));
    sendButton->setCursor(Qt::PointingHandCursor);
    lengthLabel = new QLabel;
    lengthLabel->setObjectName(QStringLiteral("lengthCounter"));
    lengthLabel->hide();
    attachButton = new QPushButton;
    attachButton->setObjectName(QStringLiteral("attachButton"));
    attachButton->setIcon(paperclipIcon());
    attachButton->setToolTip(QStringLiteral("Attach files"));
    attachButton->setCursor(Qt::PointingHandCursor);
    attachButton->setEnabled(false);
    inputLayout->addWidget(attachButton);
    inputLayout->addWidget(messageInput);
    inputLayout->addWidget(lengthLabel);
    inputLayout->addWidget(sendButton);
    // Nothing can be written before a chat is open to take it.
    messageInput->setEnabled(false);
    sendButton->setEnabled(false);

    chatAreaLayout->addWidget(chatHeader);
    chatAreaLayout->addWidget(messageListWidget);
    chatAreaLayout->addWidget(replyBar);
    chatAreaLayout->addWidget(editBar);
    downloadArea = new QWidget;
    downloadArea->setObjectName(QStringLiteral("downloadArea"));
    auto *downloadLayout = new QVBoxLayout(downloadArea);
    downloadLayout->setContentsMargins(0, 0, 0, 0);
    downloadLayout->setSpacing(0);
    chatAreaLayout->addWidget(downloadArea);
    attachmentStrip = new AttachmentStrip;
    chatAreaLayout->addWidget(attachmentStrip);
    chatAreaLayout->addWidget(inputArea);

    auto *sidebar = new QWidget;
    sidebar->setObjectName(QStringLiteral("sidebar"));
    sidebar->setFixedWidth(300);
    auto *sidebarLayout = new QVBoxLayout(sidebar);
    sidebarLayout->setContentsMargins(0, 0, 0, 0);
    sidebarLayout->setSpacing(0);
    // The buttons keep apart and off the window's edge: touching, their rounded corners
    // notched each other.
    auto *sidebarActions = new QVBoxLayout;
    sidebarActions->setContentsMargins(8, 8, 8, 8);
    sidebarActions->setSpacing(6);
    searchButton = new QPushButton(QStringLiteral("Search messages"));
    searchButton->setObjectName(QStringLiteral("searchButton"));
    searchButton->setToolTip(QStringLiteral("Search messages (Ctrl+Shift+F)"));
    searchButton->setCursor(Qt::PointingHandCursor);
    sidebarActions->addWidget(searchButton);
    newGroupButton = new QPushButton(QStringLiteral("New Group\u2026"));
    newGroupButton->setObjectName(QStringLiteral("newGroupButton"));
    newGroupButton->setCursor(Qt::PointingHandCursor);
    sidebarActions->addWidget(newGroupButton);
    sidebarLayout->addLayout(sidebarActions);
    sidebarLayout->addWidget(sidebarTabs);

    timelineNotice = new QLabel(messageListWidget);
    timelineNotice->setObjectName(QStringLiteral("timelineNotice"));
    timelineNotice->setAlignment(Qt::AlignCenter);
    timelineNotice->setMargin(8);
    timelineNotice->hide();
    jumpToLatestButton = new QPushButton(QStringLiteral("Jump to latest"), messageListWidget);
    jumpToLatestButton->setObjectName(QStringLiteral("jumpToLatest"));
    jumpToLatestButton->setCursor(Qt::PointingHandCursor);
    jumpToLatestButton->hide();

    chatLayout->addWidget(sidebar);
    chatLayout->addWidget(chatArea);
    stackedWidget->addWidget(chatPage);

    connect(loginButton, &QAbstractButton::clicked, this, &MainWindow::onLoginBtnClicked);
    connect(chatListWidget, &QListWidget::itemClicked, this, &MainWindow::onChatSelected);
    connect(contactListWidget, &QListWidget::itemClicked, this, &MainWindow::onContactSelected);
    connect(sendButton, &QAbstractButton::clicked, this, &MainWindow::onSendBtnClicked);
    connect(messageInput, &QLineEdit::returnPressed, this, &MainWindow::onSendBtnClicked);
    connect(messageInput, &QLineEdit::textChanged, this, &MainWindow::showTextLength);
    // A view that shows its newest message keeps showing it when it gets smaller (a bar above
    // the composer, a smaller window) or grows by a row.
    connect(messageListWidget->verticalScrollBar(),
        &QAbstractSlider::rangeChanged,
        this,
        &MainWindow::followBottom);
}
