#pragma once

#include "passwordhash.h"

#include <QMap>
#include <QString>
#include <QStringList>

// The people who may use the site's cameras and doors: the [Users] section of settings.ini,
// one key per user name with the value "<role>:<password hash>".
class UserList
{
public:
    enum class Role { Viewer, Operator };

    struct User
    {
        QString name;
        Role role = Role::Viewer;
        QString storedHash;
        PasswordHash::Parsed hash;

        bool operator==(const User &other) const
        {
            return name == other.name && role == other.role && storedHash == other.storedHash;
        }
    };

    static QString roleName(Role role);
    static bool parseRole(const QString &text, Role *role);
    // Names go into an INI key and appear in log lines: these characters are refused.
    static bool isValidName(const QString &name, QString *why = nullptr);

    // Reads the section. Entries that cannot be used (unknown role, malformed hash) are left
    // out and listed in `rejected`, so a typo never opens or locks anything silently.
    static UserList load(const QString &iniPath, QStringList *rejected = nullptr);

    // Write one entry (replacing one of that name) or remove it; false with `error` when the
    // file cannot be written. The file keeps its owner and becomes readable by its owner only.
    static bool store(const QString &iniPath, const QString &name, Role role,
                      const QString &storedHash, QString *error);
    static bool remove(const QString &iniPath, const QString &name, bool *existed, QString *error);

    bool isEmpty() const { return m_users.isEmpty(); }
    int size() const { return m_users.size(); }
    bool contains(const QString &name) const { return m_users.contains(name); }
    User user(const QString &name) const { return m_users.value(name); }
    // Viewer for a name that is not there.
    Role roleOf(const QString &name) const
    {
        const auto it = m_users.constFind(name);
        return it == m_users.cend() ? Role::Viewer : it->role;
    }
    QList<User> users() const { return m_users.values(); }

    void insert(const User &user) { m_users.insert(user.name, user); }

    // Names of users that are gone or whose role or password differ in `next`.
    QStringList changedIn(const UserList &next) const;

    bool operator==(const UserList &other) const { return m_users == other.m_users; }
    bool operator!=(const UserList &other) const { return !(*this == other); }

private:
    QMap<QString, User> m_users;
};
