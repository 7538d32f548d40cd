#include "credentialstore.h"

#include "app/settings.h"
#include "logging.h"

#include <QFile>
#include <QTimer>
#include <memory>
#include <qt5keychain/keychain.h>

namespace
{

// A locked store may put up an unlock prompt; start-up does not wait for it longer than this,
// and the user can still type the password.
constexpr int defaultAnswerTimeoutMs = 5000;

// A settings file holding a password is for its owner's eyes only. Later writes replace the file
// but keep its permissions.
void keepPrivate(AppSettings &settings)
{
    settings.sync();
    QFile::setPermissions(settings.fileName(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

} // namespace

CredentialStore::CredentialStore(QObject *parent)
    : QObject(parent)
    , service(QStringLiteral("Ferrow Desktop"))
    , answerTimeoutMs(defaultAnswerTimeoutMs)
{
}

void CredentialStore::setService(const QString &name)
{
    service = name;
}

void CredentialStore::setAnswerTimeout(int milliseconds)
{
    answerTimeoutMs = milliseconds;
}

void CredentialStore::logFallbackOnce(const QString &why)
{
    static bool logged = false;
    if (logged)
        return;
    logged = true;
    qCWarning(lcUi).noquote() << QStringLiteral("No secret store answered (") + why
            + QStringLiteral("); the password is kept in the settings file");
}

void CredentialStore::run(QKeychain::Job *job, const Answer &answer)
{
    // The job deletes itself once it finishes, however late; until then it must outlive this
    // object, because the secret store calls back into it.
    job->setAutoDelete(true);
    auto settled = std::make_shared<bool>(false);
    auto *timer = new QTimer(this);
    timer->setSingleShot(true);
    connect(job, &QKeychain::Job::finished, this, [settled, timer, answer](QKeychain::Job *done) {
        if (*settled)
            return;
        *settled = true;
        timer->deleteLater();
        answer(done);
    });
    connect(timer, &QTimer::timeout, this, [settled, timer, answer] {
        if (*settled)
            return;
        *settled = true;
        timer->deleteLater();
        answer(nullptr);
    });
    timer->start(answerTimeoutMs);
    job->start();
}

void CredentialStore::load()
{
    ++generation;
    loading = false;
    storedUsername.clear();
    storedPassword.clear();
    AppSettings settings;
    if (!settings.contains(SettingsKey::username))
        return;
    storedUsername = settings.value(SettingsKey::username).toString();
    if (settings.contains(SettingsKey::password)) {
        // Left there by an earlier version or by a run without a secret store: usable at once,
        // and moved into the secret store if one answers now.
        storedPassword = settings.value(SettingsKey::password).toString();
        keepPrivate(settings);
        storeInSecretStore(storedUsername, storedPassword);
        return;
    }

    loading = true;
    const quint64 ticket = generation;
    auto *job = new QKeychain::ReadPasswordJob(service);
    job->setKey(storedUsername);
    run(job, [this, ticket](QKeychain::Job *answered) {
        if (ticket != generation)
            return;
        loading = false;
        if (!answered)
            logFallbackOnce(QStringLiteral("no answer in time"));
        else if (answered->error() == QKeychain::NoError)
            storedPassword = static_cast<QKeychain::ReadPasswordJob *>(answered)->textData();
        else if (answered->error() != QKeychain::EntryNotFound)
            logFallbackOnce(answered->errorString());
        emit passwordLoaded(storedPassword);
    });
}

bool CredentialStore::isLoading() const
{
    return loading;
}

QString CredentialStore::username() const
{
    return storedUsername;
}

QString CredentialStore::password() const
{
    return storedPassword;
}

bool CredentialStore::hasLogin() const
{
    return !storedUsername.isNull() && !storedPassword.isEmpty();
}

void CredentialStore::save(const QString &username, const QString &password)
{
    ++generation;
    loading = false;
    storedUsername = username;
    storedPassword = password;
    AppSettings().setValue(SettingsKey::username, username);
    storeInSecretStore(username, password);
}

void CredentialStore::storeInSecretStore(const QString &username, const QString &password)
{
    const quint64 ticket = generation;
    auto *job = new QKeychain::WritePasswordJob(service);
    job->setKey(username);
    job->setTextData(password);
    run(job, [this, ticket, password](QKeychain::Job *answered) {
        if (ticket != generation)
            return;
        AppSettings settings;
        const bool inSecretStore = answered && answered->error() == QKeychain::NoError;
        if (inSecretStore) {
            settings.remove(SettingsKey::password);
        } else {
            logFallbackOnce(
                answered ? answered->errorString() : QStringLiteral("no answer in time"));
            settings.setValue(SettingsKey::password, password);
            keepPrivate(settings);
        }
        emit passwordStored(inSecretStore);
    });
}

void CredentialStore::forget()
{
    ++generation;
    loading = false;
    AppSettings settings;
    QString username = settings.value(SettingsKey::username).toString();
    if (username.isEmpty())
        username = storedUsername;
    settings.remove(SettingsKey::username);
    settings.remove(SettingsKey::password);
    storedUsername.clear();
    storedPassword.clear();
    if (username.isEmpty())
        return;
    auto *job = new QKeychain::DeletePasswordJob(service);
    job->setKey(username);
    run(job, [](QKeychain::Job *) {});
}
