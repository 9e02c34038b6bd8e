#pragma once

#include "accesspolicy.h"
#include "httpgate.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QThreadPool>

class QFileSystemWatcher;
class QTimer;

// The site's access rules on every HTTP port: the servers ask it about each request before any
// handler runs. Passwords are checked on a worker thread, so a login never holds up the
// pictures; requests carrying the same credentials wait for one check together.
//
// It follows the [Users] section of settings.ini while it runs: a change is read within a
// moment, and the connections of users removed or changed are ended.
class AccessGate : public HttpGate
{
    Q_OBJECT

public:
    explicit AccessGate(QObject *parent = nullptr);
    ~AccessGate() override;

    // What the log and the console say while no user is configured.
    static QString openWarning();

    AccessPolicy &policy() { return m_policy; }
    const AccessPolicy &policy() const { return m_policy; }

    // Reads the users now and from then on whenever the file changes.
    void watch(const QString &iniPath);
    // Applies a user list (the watcher's reading, or a test's), ending revoked connections.
    void setUsers(const UserList &users);

    void admit(const QtHttpRequest &request, bool operate, const Done &done) override;

    // The facts the rules look at, taken from a request (header names in any letter case).
    static AccessFacts factsOf(const QtHttpRequest &request, bool operate);

    int pendingVerifications() const { return m_pending.size(); }
    // Password checks run so far, for tests and benchmarks of the cache.
    int verificationsRun() const { return m_verificationsRun; }

signals:
    void usersChanged(int count);
    // A door command was refused; emitted before the refusal is answered. `user` is the login
    // that was refused, when one was proven.
    void doorCommandRefused(const QUrl &target, const QString &user, const QString &address,
                            const QString &reason);

private:
    struct Waiter
    {
        AccessFacts facts;
        Done done;
    };
    struct Pending
    {
        Credentials::Basic credentials;
        QString storedHash;
        QList<Waiter> waiters;
    };

    void reload();
    void onVerified(const QByteArray &key, bool matches);
    void deliver(const AccessVerdict &verdict, const AccessFacts &facts, const Done &done);
    qint64 now() const { return m_clock.elapsed(); }

    AccessPolicy m_policy;
    QElapsedTimer m_clock;
    QThreadPool m_pool;
    QHash<QByteArray, Pending> m_pending;
    QFileSystemWatcher *m_watcher = nullptr;
    QTimer *m_reloadTimer = nullptr;
    QString m_iniPath;
    PasswordHash::Parsed m_decoy;
    int m_verificationsRun = 0;
};
