#include "accessgate.h"

#include "httpconnection.h"
#include "qthttprequest.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QRandomGenerator>
#include <QTimer>

namespace {

QByteArray headerOf(const QtHttpRequest &request, const char *name)
{
    const QByteArray exact = request.header(name);
    if (!exact.isEmpty())
        return exact;
    const QList<QByteArray> names = request.headerNames();
    for (const QByteArray &candidate : names) {
        if (qstricmp(candidate.constData(), name) == 0)
            return request.header(candidate);
    }
    return QByteArray();
}

} // namespace

AccessGate::AccessGate(QObject *parent)
    : HttpGate(parent)
{
    m_clock.start();
    // One key derivation at a time: a burst of logins must not take the cores from the relay.
    m_pool.setMaxThreadCount(1);
    m_policy.setAllowedHosts({});
    // Unknown names are checked against this, so a wrong name costs what a wrong password does.
    m_decoy.valid = true;
    m_decoy.iterations = PasswordHash::DefaultIterations;
    m_decoy.salt = QByteArray(PasswordHash::SaltSize, 's');
    m_decoy.hash = QByteArray(PasswordHash::HashSize, 'h');
}

AccessGate::~AccessGate()
{
    // A check still running posts its result to this object; it must not outlive it.
    m_pool.waitForDone();
}

AccessFacts AccessGate::factsOf(const QtHttpRequest &request, bool operate)
{
    AccessFacts facts;
    facts.authorization = headerOf(request, "Authorization");
    facts.cookie = headerOf(request, "Cookie");
    facts.host = headerOf(request, "Host");
    facts.origin = headerOf(request, "Origin");
    facts.secFetchSite = headerOf(request, "Sec-Fetch-Site");
    if (HttpConnection *client = request.client())
        facts.peer = plainAddress(client->peerAddress());
    facts.operate = operate;
    facts.target = request.url();
    return facts;
}

void AccessGate::watch(const QString &iniPath)
{
    m_iniPath = iniPath;
    if (!m_watcher) {
        m_watcher = new QFileSystemWatcher(this);
        m_reloadTimer = new QTimer(this);
        m_reloadTimer->setSingleShot(true);
        m_reloadTimer->setInterval(AccessLimits::ReloadDelayMs);
        connect(m_reloadTimer, &QTimer::timeout, this, &AccessGate::reload);
        // Editors and QSettings replace the file rather than write it in place, so its directory
        // is watched too.
        connect(m_watcher, &QFileSystemWatcher::fileChanged, m_reloadTimer,
                QOverload<>::of(&QTimer::start));
        connect(m_watcher, &QFileSystemWatcher::directoryChanged, m_reloadTimer,
                QOverload<>::of(&QTimer::start));
    }
    const QString directory = QFileInfo(iniPath).absolutePath();
    if (!m_watcher->directories().contains(directory))
        m_watcher->addPath(directory);
    reload();
}

void AccessGate::reload()
{
    if (m_watcher && QFileInfo::exists(m_iniPath) && !m_watcher->files().contains(m_iniPath))
        m_watcher->addPath(m_iniPath);
    QStringList rejected;
    const UserList users = UserList::load(m_iniPath, &rejected);
    for (const QString &name : qAsConst(rejected))
        qDebug() << QStringLiteral("Access: user %1 in settings.ini is ignored: its value is not "
                                   "\"viewer:<hash>\" or \"operator:<hash>\"")
                        .arg(name);
    if (users != m_policy.users())
        setUsers(users);
}

QString AccessGate::openWarning()
{
    return QStringLiteral("Access: no users are configured, so the cameras and doors are open to "
                          "anyone who can reach the ports; add one with: veltra-service "
                          "--add-user NAME --role operator");
}

void AccessGate::setUsers(const UserList &users)
{
    const QStringList revoked = m_policy.setUsers(users);
    if (users.isEmpty())
        qDebug() << openWarning();
    else
        qDebug() << QStringLiteral("Access: %1 users; the cameras and doors need a login")
                        .arg(users.size());
    emit usersChanged(users.size());
    if (!revoked.isEmpty())
        emit this->revoked(revoked);
}

void AccessGate::admit(const QtHttpRequest &request, bool operate, const Done &done)
{
    const AccessFacts facts = factsOf(request, operate);
    const AccessVerdict verdict = m_policy.decide(facts, now());
    if (verdict.kind != AccessVerdict::Verify) {
        deliver(verdict, facts, done);
        return;
    }

    QCryptographicHash key(QCryptographicHash::Sha256);
    key.addData(verdict.credentials.user.toUtf8());
    key.addData("\0", 1);
    key.addData(verdict.credentials.password.toUtf8());
    const QByteArray id = key.result();

    auto it = m_pending.find(id);
    if (it != m_pending.end()) {
        it->waiters.append({facts, done});
        return;
    }
    if (m_pending.size() >= AccessLimits::MaxPendingVerifications) {
        HttpGateDecision busy;
        busy.status = 503;
        busy.body = "Busy checking logins; try again in a moment.";
        busy.headers = {{"Content-Type", "text/plain; charset=utf-8"}, {"Retry-After", "1"}};
        done(busy);
        return;
    }

    const UserList::User user = m_policy.users().user(verdict.credentials.user);
    const bool known = m_policy.users().contains(verdict.credentials.user);
    Pending pending;
    pending.credentials = verdict.credentials;
    pending.storedHash = user.storedHash;
    pending.waiters.append({facts, done});
    m_pending.insert(id, pending);

    const PasswordHash::Parsed hash = known ? user.hash : m_decoy;
    const QString password = verdict.credentials.password;
    ++m_verificationsRun;
    m_pool.start(QRunnable::create([this, id, hash, password, known] {
        const bool matches = PasswordHash::verify(password, hash) && known;
        QMetaObject::invokeMethod(
            this, [this, id, matches] { onVerified(id, matches); }, Qt::QueuedConnection);
    }));
}

void AccessGate::onVerified(const QByteArray &key, bool matches)
{
    const Pending pending = m_pending.take(key);
    for (const Waiter &waiter : pending.waiters) {
        const AccessVerdict verdict = m_policy.conclude(waiter.facts, pending.credentials,
                                                        pending.storedHash, matches, now());
        deliver(verdict, waiter.facts, waiter.done);
    }
}

// Every decision passes here: the one place where a refused door command is seen.
void AccessGate::deliver(const AccessVerdict &verdict, const AccessFacts &facts, const Done &done)
{
    if (!verdict.logLine.isEmpty())
        qDebug() << verdict.logLine;
    if (facts.operate && verdict.kind == AccessVerdict::Refuse)
        emit doorCommandRefused(facts.target, verdict.user, facts.peer.toString(), verdict.reason);
    HttpGateDecision decision;
    decision.status = verdict.kind == AccessVerdict::Refuse ? verdict.status : 0;
    decision.body = verdict.body;
    decision.headers = verdict.headers;
    decision.identity = verdict.identity;
    done(decision);
}
