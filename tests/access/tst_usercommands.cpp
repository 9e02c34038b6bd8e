#include "tempappdir.h"
#include "usercommands.h"
#include "userlist.h"

#include <QtTest>

#include <cstdio>
#include <sys/stat.h>

namespace {

struct Outcome
{
    int code = -1;
    QString output;
    QString errors;
};

QString readAll(FILE *file)
{
    return QString::fromLocal8Bit(readWholeStream(file));
}

Outcome run(const QStringList &arguments, const QString &iniPath, const QByteArray &input)
{
    FILE *in = std::tmpfile();
    FILE *out = std::tmpfile();
    FILE *err = std::tmpfile();
    std::fwrite(input.constData(), 1, size_t(input.size()), in);
    std::rewind(in);
    Outcome outcome;
    outcome.code = UserCommands::run(arguments, iniPath, in, out, err);
    outcome.output = readAll(out);
    outcome.errors = readAll(err);
    std::fclose(in);
    std::fclose(out);
    std::fclose(err);
    return outcome;
}

} // namespace

class UserCommandsTest : public QObject
{
    Q_OBJECT

private slots:
    void addListRemove();
    void refusals_data();
    void refusals();
};

void UserCommandsTest::addListRemove()
{
    TempAppDir dir;
    const QString ini = dir.filePath(QStringLiteral("settings.ini"));
    QFile file(ini);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[General]\neventPort=9000\n");
    file.close();

    Outcome added = run({"--add-user", "alice", "--role", "operator"}, ini, "pa ss\nignored\n");
    QCOMPARE(added.code, 0);
    QVERIFY2(added.output.startsWith(QLatin1String("Added user alice (operator)")),
             qPrintable(added.output));
    QCOMPARE(added.output.count(QLatin1Char('\n')), 1);

    const UserList users = UserList::load(ini);
    QVERIFY(users.contains(QStringLiteral("alice")));
    QVERIFY(
        PasswordHash::verify(QStringLiteral("pa ss"), users.user(QStringLiteral("alice")).hash));
    // Nothing else of the file changed, the password is nowhere in it, and only its owner reads it.
    const QByteArray content = readWholeFile(ini);
    QVERIFY(content.contains("eventPort=9000"));
    QVERIFY(!content.contains("pa ss"));
    struct stat info;
    QCOMPARE(::stat(QFile::encodeName(ini).constData(), &info), 0);
    QCOMPARE(info.st_mode & 0777, mode_t(0600));

    QCOMPARE(run({"--add-user", "alice", "--role", "viewer"}, ini, "other\n").output.left(13),
             QStringLiteral("Replaced user"));
    QCOMPARE(UserList::load(ini).user(QStringLiteral("alice")).role, UserList::Role::Viewer);

    const Outcome listed = run({"--list-users"}, ini, {});
    QCOMPARE(listed.output, QStringLiteral("alice viewer\n"));
    QVERIFY(!listed.output.contains(QLatin1String("pbkdf2")));

    QCOMPARE(run({"--remove-user", "alice"}, ini, {}).code, 0);
    QVERIFY(UserList::load(ini).isEmpty());
    QCOMPARE(run({"--remove-user", "alice"}, ini, {}).code, 1);
    QVERIFY(run({"--list-users"}, ini, {}).output.startsWith(QLatin1String("No users")));
}

void UserCommandsTest::refusals_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("why");

    QTest::newRow("empty password")
        << QStringList{"--add-user", "bob", "--role", "viewer"} << QByteArray("\n") << "password";
    QTest::newRow("no input") << QStringList{"--add-user", "bob", "--role", "viewer"}
                              << QByteArray() << "password";
    QTest::newRow("no role") << QStringList{"--add-user", "bob"} << QByteArray("pw\n") << "role";
    QTest::newRow("unknown role") << QStringList{"--add-user", "bob", "--role", "admin"}
                                  << QByteArray("pw\n") << "role";
    QTest::newRow("no name") << QStringList{"--add-user"} << QByteArray("pw\n") << "empty";
    for (const char *c : {":", "=", "[", "]", "/", "\\"})
        QTest::newRow(qPrintable(QStringLiteral("name with %1").arg(QLatin1String(c))))
            << QStringList{"--add-user", QStringLiteral("b%1b").arg(QLatin1String(c)), "--role",
                           "viewer"}
            << QByteArray("pw\n") << QString::fromLatin1(c);
    QTest::newRow("NUL in password") << QStringList{"--add-user", "bob", "--role", "viewer"}
                                     << QByteArray("pw\0x\n", 5) << "NUL";
    QTest::newRow("overlong password")
        << QStringList{"--add-user", "bob", "--role", "viewer"} << QByteArray(2000, 'x') + '\n'
        << "password";
}

void UserCommandsTest::refusals()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(QString, why);
    TempAppDir dir;
    const QString ini = dir.filePath(QStringLiteral("settings.ini"));
    const Outcome outcome = run(arguments, ini, input);
    QCOMPARE(outcome.code, 2);
    QVERIFY2(outcome.errors.contains(why), qPrintable(outcome.errors));
    QCOMPARE(outcome.errors.count(QLatin1Char('\n')), 1);
    // Refused means not written at all.
    QVERIFY(!QFile::exists(ini));
}

QTEST_GUILESS_MAIN(UserCommandsTest)
#include "tst_usercommands.moc"
