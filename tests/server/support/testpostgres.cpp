#include "testpostgres.h"

#include <QAtomicInteger>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QVersionNumber>
#include <pwd.h>
#include <unistd.h>

namespace
{

// Only names the socket file; nothing listens on TCP.
constexpr int socketPort = 5432;
const char ownerWhenRoot[] = "postgres";

// The newest version's programs, as Debian installs them, else whatever is on the PATH.
QString findBinDir()
{
    QDir versions(QStringLiteral("/usr/lib/postgresql"));
    QString best;
    QVersionNumber bestVersion;
    for (const QString &entry : versions.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QVersionNumber version = QVersionNumber::fromString(entry);
        if (QFile::exists(versions.filePath(entry + QStringLiteral("/bin/initdb")))
            && version > bestVersion) {
            bestVersion = version;
            best = versions.filePath(entry + QStringLiteral("/bin"));
        }
    }
    if (!best.isEmpty())
        return best;
    const QString initdb = QStandardPaths::findExecutable(QStringLiteral("initdb"));
    return initdb.isEmpty() ? QString() : QFileInfo(initdb).absolutePath();
}

} // namespace

TestPostgres::TestPostgres()
    : binDir(findBinDir())
{
}

TestPostgres::~TestPostgres()
{
    stop();
}

bool TestPostgres::isInstalled()
{
    return !findBinDir().isEmpty();
}

QString TestPostgres::skipReason() const
{
    if (binDir.isEmpty())
        return QStringLiteral("PostgreSQL is not installed (no initdb); scripts/setup installs it");
    return QStringLiteral("the test PostgreSQL did not start: ") + errorText;
}

QString TestPostgres::error() const
{
    return errorText;
}

bool TestPostgres::isRunning() const
{
    return running;
}

bool TestPostgres::runAsOwner(const QString &program, const QStringList &arguments, int timeoutMs)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    const QString path = QDir(binDir).filePath(program);
    if (::geteuid() == 0)
        process.start(QStringLiteral("runuser"),
            QStringList { QStringLiteral("-u"),
                QString::fromLatin1(ownerWhenRoot),
                QStringLiteral("--"),
                path }
                + arguments);
    else
        process.start(path, arguments);
    if (!process.waitForFinished(timeoutMs) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        errorText = program + QStringLiteral(" failed: ") + process.errorString() + QLatin1Char(' ')
            + QString::fromLocal8Bit(process.readAll()).trimmed();
        process.kill();
        process.waitForFinished(1000);
        return false;
    }
    return true;
}

bool TestPostgres::start()
{
    if (running)
        return true;
    if (binDir.isEmpty()) {
        errorText = skipReason();
        return false;
    }
    if (!dir) {
        // Short, for the socket's path, which may not exceed about a hundred bytes.
        dir = std::make_unique<QTemporaryDir>(QStringLiteral("/tmp/ferrow-pg-XXXXXX"));
        if (!dir->isValid()) {
            errorText = QStringLiteral("cannot create a temporary folder");
            return false;
        }
        if (::geteuid() == 0) {
            const passwd *owner = ::getpwnam(ownerWhenRoot);
            if (!owner
                || ::chown(QFile::encodeName(dir->path()).constData(), owner->pw_uid, owner->pw_gid)
                    != 0) {
                errorText = QStringLiteral("no \"postgres\" user to run PostgreSQL as");
                return false;
            }
        }
        if (!runAsOwner(QStringLiteral("initdb"),
                { QStringLiteral("--pgdata=") + dir->filePath(QStringLiteral("data")),
                    QStringLiteral("--auth=trust"),
                    QStringLiteral("--username=postgres"),
                    QStringLiteral("--encoding=UTF8"),
                    QStringLiteral("--locale=C"),
                    QStringLiteral("--no-sync") },
                120000))
            return false;
    }
    // Durability is the tests' last concern; fsync off keeps a busy machine's disk out of them.
    const QString serverOptions = QStringLiteral("-c listen_addresses='' -k %1 -p %2 -c fsync=off "
                                                 "-c shared_buffers=16MB -c max_connections=200")
                                      .arg(dir->path())
                                      .arg(socketPort);
    running = runAsOwner(QStringLiteral("pg_ctl"),
        { QStringLiteral("--pgdata=") + dir->filePath(QStringLiteral("data")),
            QStringLiteral("--log=") + dir->filePath(QStringLiteral("log")),
            QStringLiteral("--options=") + serverOptions,
            QStringLiteral("--wait"),
            QStringLiteral("start") },
        120000);
    return running;
}

bool TestPostgres::stop()
{
    if (!running)
        return true;
    running = !runAsOwner(QStringLiteral("pg_ctl"),
        { QStringLiteral("--pgdata=") + dir->filePath(QStringLiteral("data")),
            QStringLiteral("--mode=immediate"),
            QStringLiteral("--wait"),
            QStringLiteral("stop") },
        60000);
    return !running;
}

DatabaseUrl TestPostgres::url(const QString &database) const
{
    DatabaseUrl url;
    url.host = dir ? dir->path() : QString();
    url.port = socketPort;
    url.user = QStringLiteral("postgres");
    url.databaseName = database;
    return url;
}

bool TestPostgres::execute(const QString &sql, const QString &database)
{
    static QAtomicInteger<int> counter;
    const QString name =
        QStringLiteral("test-postgres-") + QString::number(counter.fetchAndAddRelaxed(1));
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
        const DatabaseUrl target = url(database);
        db.setHostName(target.host);
        db.setPort(target.port);
        db.setUserName(target.user);
        db.setDatabaseName(target.databaseName);
        if (db.open()) {
            QSqlQuery query(db);
            ok = query.exec(sql);
            if (!ok)
                errorText = query.lastError().text();
        } else {
            errorText = db.lastError().text();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

std::optional<DatabaseUrl> TestPostgres::createDatabase()
{
    const QString name = QStringLiteral("test%1").arg(++databases);
    if (!start() || !execute(QStringLiteral("CREATE DATABASE ") + name))
        return std::nullopt;
    return url(name);
}

bool TestPostgres::terminateConnections(const QString &database)
{
    return execute(QStringLiteral("SELECT pg_terminate_backend(pid) FROM pg_stat_activity"
                                  " WHERE datname = '%1' AND pid <> pg_backend_pid()")
                       .arg(database));
}
