#pragma once

#include <QObject>
#include <QString>
#include <functional>

namespace QKeychain
{
class Job;
}

// The stored login: the user name in the settings file, the password in the desktop's secret
// store (Secret Service or KWallet through QtKeychain). Where no secret store answers in time,
// the password is kept in the settings file under "password" as before, and that is logged
// once. A password found in the file while a secret store answers is moved into it.
class CredentialStore : public QObject
{
    Q_OBJECT

public:
    explicit CredentialStore(QObject *parent = nullptr);

    // The secret store entries of this program ("Ferrow Desktop"); tests use their own.
    void setService(const QString &name);
    // How long a secret store may take to answer before the settings file is used instead.
    void setAnswerTimeout(int milliseconds);

    // Reads the stored login. What the settings file holds is known on return; a password kept
    // in the secret store follows with `passwordLoaded`, also when the store does not answer
    // (then empty).
    void load();
    bool isLoading() const;
    QString username() const;
    QString password() const;
    // A user name and a password are both stored.
    bool hasLogin() const;

    void save(const QString &username, const QString &password);
    // Removes the login from the settings file and from the secret store.
    void forget();

signals:
    void passwordLoaded(const QString &password);
    // A save or a move out of the settings file has finished: the password is in the secret
    // store, or in the settings file because no secret store answered.
    void passwordStored(bool inSecretStore);

private:
    using Answer = std::function<void(QKeychain::Job *answered)>;
    void run(QKeychain::Job *job, const Answer &answer);
    void storeInSecretStore(const QString &username, const QString &password);
    static void logFallbackOnce(const QString &why);

    QString service;
    int answerTimeoutMs;
    QString storedUsername;
    QString storedPassword;
    bool loading = false;
    // Bumped by every load, save and forget, so that a late answer to an earlier one is dropped
    // (a logout must not be followed by a password written back into the file).
    quint64 generation = 0;
};
