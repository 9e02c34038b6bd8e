#pragma once

#include <QString>
#include <QStringList>

#include <cstdio>

// The command-line side of the user list: --add-user, --remove-user and --list-users edit or
// show the [Users] section of settings.ini and exit, without starting the service or touching
// its log.
namespace UserCommands {

// Whether the arguments (without the program name) ask for one of the commands.
bool isUserCommand(const QStringList &arguments);

// Runs the command the arguments ask for; returns the process exit code. The password of
// --add-user comes from `input`: typed without echo on a terminal, else its first line.
int run(const QStringList &arguments, const QString &iniPath, FILE *input = stdin,
        FILE *output = stdout, FILE *errors = stderr);

// The lines --help shows for them.
QString helpText();

} // namespace UserCommands
