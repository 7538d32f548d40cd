// Search on a store of 1 000 000 messages in 1 000 chats, generated through the store itself:
// the time a search takes (one or two common words, as the server's readers run it), the size
// of the index beside the text, and the write path with and without the index.
//
//   build/ferrow-searchbench [--messages N] [--queries N] [--keep DIR] [--database URL]
//
// With --database, on that PostgreSQL database instead (kept, and reused when it holds
// messages); bench/searchfigures-postgres.sh runs it on a throwaway cluster.
#include "postgresstore.h"
#include "sqlitestore.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTextStream>
#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

namespace
{

QTextStream out(stdout);

// Words of 3 to 10 letters, drawn by a Zipf law as in real text: a few words are in most
// messages, most words in few.
class Vocabulary
{
public:
    Vocabulary(int size, QRandomGenerator &random)
    {
        for (int i = 0; i < size; ++i) {
            QString word;
            const int length = 3 + int(random.bounded(8));
            for (int j = 0; j < length; ++j)
                word.append(QChar(u'a' + random.bounded(26)));
            words.append(word);
            total += 1.0 / (i + 1);
            cumulative.push_back(total);
        }
    }
    const QString &draw(QRandomGenerator &random) const
    {
        const double at = random.generateDouble() * total;
        const auto it = std::lower_bound(cumulative.begin(), cumulative.end(), at);
        return words.at(int(std::min<size_t>(it - cumulative.begin(), cumulative.size() - 1)));
    }
    QStringList words;

private:
    std::vector<double> cumulative;
    double total = 0;
};

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values.at(std::min(values.size() - 1, size_t(p * double(values.size()))));
}

qint64 scalar(const QString &connection, const QString &sql)
{
    QSqlQuery query(QSqlDatabase::database(connection));
    return query.exec(sql) && query.next() ? query.value(0).toLongLong() : -1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({ QStringLiteral("messages"),
        QStringLiteral("Messages."),
        QStringLiteral("N"),
        QStringLiteral("1000000") });
    parser.addOption({ QStringLiteral("queries"),
        QStringLiteral("Searches per kind."),
        QStringLiteral("N"),
        QStringLiteral("300") });
    parser.addOption({ QStringLiteral("keep"),
        QStringLiteral("Data folder to keep and reuse."),
        QStringLiteral("DIR") });
    parser.addOption({ QStringLiteral("database"),
        QStringLiteral("PostgreSQL database URL."),
        QStringLiteral("URL") });
    parser.process(app);
    const int messageCount = parser.value(QStringLiteral("messages")).toInt();
    const int queries = parser.value(QStringLiteral("queries")).toInt();
    constexpr int chatCount = 1000;
    constexpr int userCount = 200;

    QTemporaryDir temporary;
    const QString dir = parser.isSet(QStringLiteral("keep")) ? parser.value(QStringLiteral("keep"))
                                                             : temporary.path();
    const bool onPostgres = parser.isSet(QStringLiteral("database"));
    std::unique_ptr<SqlStore> opened;
    bool reuse = false;
    if (onPostgres) {
        QString problem;
        const std::optional<DatabaseUrl> url =
            DatabaseUrl::parse(parser.value(QStringLiteral("database")), &problem);
        auto postgres = std::make_unique<PostgresStore>();
        if (!url || !postgres->open(*url)) {
            out << "cannot open the database: " << (url ? postgres->lastError() : problem) << "\n";
            return 1;
        }
        opened = std::move(postgres);
        reuse =
            scalar(opened->connectionName(), QStringLiteral("SELECT COUNT(*) FROM messages")) > 0;
    } else {
        reuse = QFile::exists(QDir(dir).filePath(SqliteStore::fileName));
        auto sqlite = std::make_unique<SqliteStore>();
        if (!sqlite->open(dir)) {
            out << "cannot open the store: " << sqlite->lastError() << "\n";
            return 1;
        }
        opened = std::move(sqlite);
    }
    SqlStore &store = *opened;
    QRandomGenerator random(24);
    const Vocabulary vocabulary(5000, random);
    std::vector<QString> users;
    std::vector<std::vector<QString>> chatsOfUser(userCount);
    std::vector<QString> chats;
    out << "load average at start: " << [] {
        QFile file(QStringLiteral("/proc/loadavg"));
        file.open(QIODevice::ReadOnly);
        return QString::fromLatin1(file.readAll().left(14));
    }() << "\n";
    if (!reuse) {
        for (int i = 0; i < userCount; ++i)
            users.push_back(
                store.addUser(QStringLiteral("user%1").arg(i), QStringLiteral("x"))->id);
        for (int i = 0; i < chatCount; ++i) {
            QStringList members;
            const int size = 3 + int(random.bounded(6));
            while (members.size() < size) {
                const QString &user = users.at(random.bounded(userCount));
                if (!members.contains(user))
                    members.append(user);
            }
            chats.push_back(store
                                .createChat(QString(),
                                    QStringLiteral("Chat %1").arg(i),
                                    QStringLiteral("group"),
                                    members.first(),
                                    members)
                                ->id);
        }
        QElapsedTimer timer;
        timer.start();
        constexpr int perCommit = 5000;
        for (int i = 0; i < messageCount; i += perCommit) {
            Store::Transaction transaction(store);
            for (int j = i; j < std::min(messageCount, i + perCommit); ++j) {
                const QString &chat = chats.at(random.bounded(chatCount));
                const int words = 4 + int(random.bounded(12));
                QStringList text;
                for (int k = 0; k < words; ++k)
                    text.append(vocabulary.draw(random));
                const std::optional<ChatRecord> record = store.chat(chat);
                store.addMessage(chat,
                    record->members.first(),
                    text.join(QLatin1Char(' ')),
                    QString(),
                    1600000000 + j / 3);
            }
            transaction.commit();
        }
        out << "generated " << messageCount << " messages in " << timer.elapsed() / 1000.0
            << " s\n";
    }
    // What a server's writer does within a second of the messages being stored.
    for (bool more = true; more;) {
        if (!store.indexNewMessages(50000, &more))
            return 1;
    }
    users.clear();
    for (const UserRecord &user : store.users())
        users.push_back(user.id);
    chatsOfUser.assign(users.size(), {});
    for (size_t i = 0; i < users.size(); ++i)
        for (const ChatRecord &chat : store.chatsOfUser(users[i]))
            chatsOfUser[i].push_back(chat.id);

    const QString connection = store.connectionName();
    const qint64 text = scalar(connection,
        onPostgres ? QStringLiteral("SELECT SUM(OCTET_LENGTH(text)) FROM messages")
                   : QStringLiteral("SELECT SUM(LENGTH(CAST(text AS BLOB))) FROM messages"));
    const qint64 index = scalar(connection,
        onPostgres
            ? QStringLiteral("SELECT pg_relation_size('messages_search')")
            : QStringLiteral("SELECT SUM(pgsize) FROM dbstat WHERE name LIKE 'messages_fts%'"));
    out << "text: " << text / 1048576.0 << " MiB; search index: " << index / 1048576.0
        << " MiB; ratio " << double(index) / double(text) << "\n";

    // The ten most common words, one or two at a time, by users chosen at random.
    const auto run = [&](int wordsPerQuery, bool inOneChat) {
        std::vector<double> times;
        int found = 0;
        for (int q = 0; q < queries; ++q) {
            const size_t user = random.bounded(int(users.size()));
            SearchTerms terms;
            for (int w = 0; w < wordsPerQuery; ++w)
                terms.push_back({ vocabulary.words.at(random.bounded(10)) });
            const QString chat = inOneChat && !chatsOfUser[user].empty()
                ? chatsOfUser[user].at(random.bounded(int(chatsOfUser[user].size())))
                : QString();
            QElapsedTimer timer;
            timer.start();
            store.beginRead();
            found += int(store.searchMessages(users[user], chat, terms, std::nullopt, 51).size());
            store.endRead();
            times.push_back(timer.nsecsElapsed() / 1e6);
        }
        out << wordsPerQuery << (wordsPerQuery == 1 ? " word" : " words")
            << (inOneChat ? " in one chat" : " in all chats") << ": p50 " << percentile(times, 0.5)
            << " ms, p99 " << percentile(times, 0.99) << " ms, mean results " << found / queries
            << "\n";
    };
    run(1, false);
    run(2, false);
    run(1, true);
    run(2, true);
    out.flush();
    return 0;
}
