#include "userlist.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const QLatin1String UsersGroup("Users");

// QSettings replaces the file as a whole; whoever runs the command (root, say) would become its
// owner and the service could no longer read its own settings.
class OwnerKeeper
{
public:
    explicit OwnerKeeper(const QString &path)
        : m_path(QFile::encodeName(path))
    {
#ifdef Q_OS_UNIX
        struct stat info;
        m_known = ::stat(m_path.constData(), &info) == 0;
        if (m_known) {
            m_uid = info.st_uid;
            m_gid = info.st_gid;
        }
#endif
    }

    void restore() const
    {
#ifdef Q_OS_UNIX
        if (m_known && ::chown(m_path.constData(), m_uid, m_gid) != 0) {
            // Not root: the file is ours already.
        }
        ::chmod(m_path.constData(), S_IRUSR | S_IWUSR);
#endif
    }

private:
    QByteArray m_path;
#ifdef Q_OS_UNIX
    bool m_known = false;
    uid_t m_uid = 0;
    gid_t m_gid = 0;
#endif
};

bool finish(QSettings &ini, const OwnerKeeper &owner, QString *error)
{
    ini.sync();
    if (ini.status() != QSettings::NoError) {
        if (error)
            *error = QStringLiteral("can't write %1").arg(ini.fileName());
        return false;
    }
    owner.restore();
    return true;
}

} // namespace

QString UserList::roleName(Role role)
{
    return role == Role::Operator ? QStringLiteral("operator") : QStringLiteral("viewer");
}

bool UserList::parseRole(const QString &text, Role *role)
{
    if (text == QLatin1String("viewer"))
        *role = Role::Viewer;
    else if (text == QLatin1String("operator"))
        *role = Role::Operator;
    else
        return false;
    return true;
}

bool UserList::isValidName(const QString &name, QString *why)
{
    auto refuse = [why](const QString &reason) {
        if (why)
            *why = reason;
        return false;
    };
    if (name.isEmpty())
        return refuse(QStringLiteral("the name is empty"));
    if (name.size() > 64)
        return refuse(QStringLiteral("the name is longer than 64 characters"));
    for (const QChar c : name) {
        if (QStringLiteral(":=[]/\\").contains(c))
            return refuse(QStringLiteral("the name holds \"%1\"").arg(c));
        if (c.category() == QChar::Other_Control || c.isSpace())
            return refuse(QStringLiteral("the name holds a space or a control character"));
    }
    return true;
}

UserList UserList::load(const QString &iniPath, QStringList *rejected)
{
    UserList list;
    if (!QFileInfo::exists(iniPath))
        return list;
    QSettings ini(iniPath, QSettings::IniFormat);
    ini.beginGroup(UsersGroup);
    const QStringList names = ini.childKeys();
    for (const QString &name : names) {
        const QString value = ini.value(name).toString();
        const int colon = value.indexOf(QLatin1Char(':'));
        User user;
        user.name = name;
        user.storedHash = value.mid(colon + 1);
        user.hash = PasswordHash::parse(user.storedHash);
        if (colon < 0 || !parseRole(value.left(colon), &user.role) || !user.hash.valid
            || !isValidName(name)) {
            if (rejected)
                rejected->append(name);
            continue;
        }
        list.insert(user);
    }
    return list;
}

bool UserList::store(const QString &iniPath, const QString &name, Role role,
                     const QString &storedHash, QString *error)
{
    const OwnerKeeper owner(iniPath);
    QSettings ini(iniPath, QSettings::IniFormat);
    ini.beginGroup(UsersGroup);
    ini.setValue(name, QStringLiteral("%1:%2").arg(roleName(role), storedHash));
    ini.endGroup();
    return finish(ini, owner, error);
}

bool UserList::remove(const QString &iniPath, const QString &name, bool *existed, QString *error)
{
    const OwnerKeeper owner(iniPath);
    QSettings ini(iniPath, QSettings::IniFormat);
    ini.beginGroup(UsersGroup);
    *existed = ini.contains(name);
    if (!*existed)
        return true;
    ini.remove(name);
    ini.endGroup();
    return finish(ini, owner, error);
}

QStringList UserList::changedIn(const UserList &next) const
{
    QStringList names;
    for (const User &user : m_users) {
        if (!next.m_users.contains(user.name) || !(next.m_users.value(user.name) == user))
            names.append(user.name);
    }
    return names;
}
