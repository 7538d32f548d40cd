// libFuzzer target: one inbound text frame through what the client runs on receipt, short of a
// window: the guarded parse, the conversions to records, and the store the window forwards them
// to. Each input starts from the same small account, so that any failure replays from its input.
#include "net/websocketclient.h"
#include "net/wireformat.h"
#include "store/chatstore.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <cstddef>
#include <cstdint>

namespace
{

WebSocketClient *client = nullptr;
ChatStore *store = nullptr;
std::vector<Chat> startingChats;
std::vector<User> startingUsers;

// Alice (u1) in a group with bob; m2 answers m1, and m3 is an attachment.
const char *startingHistory = R"({"chats":[{"chatId":"g1","chatName":"Team","chatType":"group",
    "ownerId":"u1","members":["u1","u2"],"messages":[
    {"messageId":"m1","chatId":"g1","senderId":"u2","timestamp":1700000001,
     "content":{"text":"hello"},"seenBy":[]},
    {"messageId":"m2","chatId":"g1","senderId":"u1","timestamp":1700000002,
     "content":{"text":"hi"},"replyToId":"m1","seenBy":["u2"]},
    {"messageId":"m3","chatId":"g1","senderId":"u2","timestamp":1700000003,
     "content":"{\"text\":\"\",\"file\":{\"name\":\"a.png\"}}"}]}],
    "users":[{"userId":"u1","username":"alice"},{"userId":"u2","username":"bob"}]})";

void connectStore()
{
    QObject::connect(client, &WebSocketClient::chatHistoryReceived, store, [](const auto &chats) {
        store->applyChatHistory(chats);
    });
    QObject::connect(client, &WebSocketClient::newChatCreated, store, &ChatStore::applyNewChat);
    QObject::connect(client, &WebSocketClient::userListUpdated, store, [](const auto &users) {
        store->applyUsers(users);
    });
    QObject::connect(client, &WebSocketClient::messageReceived, store, &ChatStore::applyMessage);
    QObject::connect(client, &WebSocketClient::messageSeenUpdate, store, &ChatStore::applySeen);
    QObject::connect(client, &WebSocketClient::messageUpdated, store, &ChatStore::applyEdit);
    QObject::connect(client, &WebSocketClient::messageDeleted, store, &ChatStore::applyDeletion);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static auto *application = new QCoreApplication(*argc, *argv);
    client = new WebSocketClient(application);
    store = new ChatStore(application);
    connectStore();
    const QJsonObject history = QJsonDocument::fromJson(startingHistory).object();
    startingChats = wire::chatsFromJson(history.value(QLatin1String("chats")));
    startingUsers = wire::usersFromJson(history.value(QLatin1String("users")));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    store->clear();
    store->setCurrentUserId(QStringLiteral("u1"));
    store->applyUsers(startingUsers);
    store->applyChatHistory(startingChats);
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    // The receipt slot is private to the connection class; its socket would deliver the frame
    // exactly so.
    QMetaObject::invokeMethod(
        client, "onTextMessageReceived", Qt::DirectConnection, Q_ARG(QString, text));
    return 0;
}
