#include "usercommands.h"

#include "passwordhash.h"
#include "userlist.h"

#ifdef Q_OS_UNIX
#include <termios.h>
#include <unistd.h>
#endif

namespace UserCommands {

namespace {

// Longest password read; the rest of a longer line is refused rather than cut silently.
constexpr int MaxPasswordBytes = 1024;

void say(FILE *stream, const QString &line)
{
    const QByteArray text = line.toLocal8Bit() + '\n';
    std::fwrite(text.constData(), 1, size_t(text.size()), stream);
    std::fflush(stream);
}

// Reads one line; false when the input ended before anything was read or the line is too long.
bool readPassword(FILE *input, FILE *errors, const QString &name, QByteArray *password)
{
#ifdef Q_OS_UNIX
    const int fd = fileno(input);
    const bool terminal = fd >= 0 && ::isatty(fd);
    struct termios saved;
    if (terminal) {
        say(errors, QStringLiteral("Password for %1: ").arg(name).trimmed());
        ::tcgetattr(fd, &saved);
        struct termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(fd, TCSAFLUSH, &quiet);
    }
#else
    Q_UNUSED(errors)
    Q_UNUSED(name)
#endif
    QByteArray line;
    bool ended = true;
    int c = 0;
    while ((c = std::fgetc(input)) != EOF) {
        ended = false;
        if (c == '\n')
            break;
        if (line.size() > MaxPasswordBytes)
            continue;
        line.append(char(c));
    }
#ifdef Q_OS_UNIX
    if (terminal) {
        ::tcsetattr(fd, TCSAFLUSH, &saved);
        say(errors, QString());
    }
#endif
    if (line.endsWith('\r'))
        line.chop(1);
    *password = line;
    return !ended && line.size() <= MaxPasswordBytes;
}

QString valueAfter(const QStringList &arguments, const QString &option, bool *present)
{
    const int at = arguments.indexOf(option);
    *present = at >= 0;
    return at >= 0 ? arguments.value(at + 1) : QString();
}

int addUser(const QStringList &arguments, const QString &iniPath, FILE *input, FILE *output,
            FILE *errors)
{
    bool present = false;
    const QString name = valueAfter(arguments, QStringLiteral("--add-user"), &present);
    bool hasRole = false;
    const QString roleText = valueAfter(arguments, QStringLiteral("--role"), &hasRole);
    QString why;
    if (!UserList::isValidName(name, &why)) {
        say(errors, QStringLiteral("Can't add user \"%1\": %2.").arg(name, why));
        return 2;
    }
    UserList::Role role = UserList::Role::Viewer;
    if (!hasRole || !UserList::parseRole(roleText, &role)) {
        say(errors,
            QStringLiteral("Can't add user %1: give --role viewer or --role operator.").arg(name));
        return 2;
    }
    QByteArray password;
    if (!readPassword(input, errors, name, &password) || password.isEmpty()) {
        say(errors,
            QStringLiteral("Can't add user %1: the password is empty or longer than %2 "
                           "bytes.")
                .arg(name)
                .arg(MaxPasswordBytes));
        return 2;
    }
    // A login can never send it (it is refused there), and the key derivation would let the
    // password without its NUL bytes in.
    if (password.contains('\0')) {
        password.fill('\0');
        say(errors, QStringLiteral("Can't add user %1: the password holds a NUL byte.").arg(name));
        return 2;
    }
    const QString text = QString::fromUtf8(password);
    password.fill('\0');
    const bool existed = UserList::load(iniPath).contains(name);
    QString error;
    if (!UserList::store(iniPath, name, role, PasswordHash::make(text), &error)) {
        say(errors, QStringLiteral("Can't add user %1: %2.").arg(name, error));
        return 1;
    }
    say(output,
        QStringLiteral("%1 user %2 (%3) in %4.")
            .arg(existed ? QStringLiteral("Replaced") : QStringLiteral("Added"), name,
                 UserList::roleName(role), iniPath));
    return 0;
}

int removeUser(const QStringList &arguments, const QString &iniPath, FILE *output, FILE *errors)
{
    bool present = false;
    const QString name = valueAfter(arguments, QStringLiteral("--remove-user"), &present);
    if (name.isEmpty()) {
        say(errors, QStringLiteral("Can't remove a user: give its name after --remove-user."));
        return 2;
    }
    bool existed = false;
    QString error;
    if (!UserList::remove(iniPath, name, &existed, &error)) {
        say(errors, QStringLiteral("Can't remove user %1: %2.").arg(name, error));
        return 1;
    }
    if (!existed) {
        say(errors, QStringLiteral("No user %1 in %2.").arg(name, iniPath));
        return 1;
    }
    say(output, QStringLiteral("Removed user %1 from %2.").arg(name, iniPath));
    return 0;
}

int listUsers(const QString &iniPath, FILE *output)
{
    QStringList rejected;
    const UserList users = UserList::load(iniPath, &rejected);
    if (users.isEmpty() && rejected.isEmpty()) {
        say(output,
            QStringLiteral("No users: cameras and doors are open to anyone who can reach "
                           "the ports."));
        return 0;
    }
    for (const UserList::User &user : users.users())
        say(output, QStringLiteral("%1 %2").arg(user.name, UserList::roleName(user.role)));
    for (const QString &name : qAsConst(rejected))
        say(output, QStringLiteral("%1 ignored (its value is not \"<role>:<hash>\")").arg(name));
    return 0;
}

} // namespace

bool isUserCommand(const QStringList &arguments)
{
    return arguments.contains(QStringLiteral("--add-user"))
        || arguments.contains(QStringLiteral("--remove-user"))
        || arguments.contains(QStringLiteral("--list-users"));
}

int run(const QStringList &arguments, const QString &iniPath, FILE *input, FILE *output,
        FILE *errors)
{
    if (arguments.contains(QStringLiteral("--add-user")))
        return addUser(arguments, iniPath, input, output, errors);
    if (arguments.contains(QStringLiteral("--remove-user")))
        return removeUser(arguments, iniPath, output, errors);
    return listUsers(iniPath, output);
}

QString helpText()
{
    return QStringLiteral(
        "  --add-user NAME --role viewer|operator\n"
        "                 Add (or replace) a user; the password is read from standard input.\n"
        "  --remove-user NAME\n"
        "                 Remove a user; their open streams end within seconds.\n"
        "  --list-users   List the users and their roles.");
}

} // namespace UserCommands
