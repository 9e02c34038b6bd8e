#include "appdir.h"
#include "doorlog.h"
#include "log.h"
#include "servicemgr.h"
#include "usercommands.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <limits>

namespace {

// The directory that holds the executable. argv[0] alone is not enough when the program was
// found through PATH, so the kernel's link to the running image is preferred where it exists,
// which is also what Qt reports as the application directory.
QString executableDirectory(const char *argv0)
{
    const QFileInfo self(QStringLiteral("/proc/self/exe"));
    const QString resolved = self.exists() ? self.canonicalFilePath() : QString();
    if (!resolved.isEmpty())
        return QFileInfo(resolved).absolutePath();
    return QFileInfo(QString::fromLocal8Bit(argv0)).absolutePath();
}

} // namespace

int main(int argc, char **argv)
{
    // Every camera channel has a network access manager of its own, and any of them makes Qt's
    // bearer management scan the network interfaces every 10 s, on a thread of its own, for as
    // long as the process lives. That scan serves devices roaming between networks; a site
    // computer stays on its site network, so it is put off for good, unless the operator set
    // the interval.
    if (!qEnvironmentVariableIsSet("QT_BEARER_POLL_TIMEOUT"))
        qputenv("QT_BEARER_POLL_TIMEOUT", QByteArray::number(std::numeric_limits<int>::max()));

    const QString directory = QDir::fromNativeSeparators(executableDirectory(argv[0]));
    QCoreApplication::addLibraryPath(directory);
    setApplicationDirectory(directory);

    // Editing the users must leave the running service's log alone: handled before the log is.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    if (UserCommands::isUserCommand(arguments))
        return UserCommands::run(arguments,
                                 QStringLiteral("%1/settings.ini").arg(applicationDirectory()));

    if (DoorLog::isDoorLogCommand(arguments)) {
        // The SQLite driver is a plug-in, found through the application object.
        QCoreApplication application(argc, argv);
        return DoorLog::run(arguments, QStringLiteral("%1/doors.db").arg(applicationDirectory()));
    }

    logFilePath = QStringLiteral("%1/Service.txt").arg(applicationDirectory());
    qInstallMessageHandler(logMessageHandler);

    ServiceMgr service(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("VELTRA"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("veltra.local"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0"));

    return service.exec();
}
