#include "servicemgr.h"

#include "app.h"
#include "doorlog.h"
#include "log.h"
#include "usercommands.h"

#include <QDebug>
#include <QTimer>

ServiceMgr::ServiceMgr(int &argc, char **argv)
    : QtService::Service(argc, argv, 0x50B02)
    , app(new App(nullptr))
{
    setLogLocation(logFilePath);
    setExtraHelp(UserCommands::helpText() + QLatin1Char('\n') + DoorLog::helpText());
    statusTimer.setInterval(StatusIntervalMs);
    connect(&statusTimer, &QTimer::timeout, this, [this] { setStatusText(app->statusSummary()); });
}

ServiceMgr::~ServiceMgr()
{
    delete app;
}

bool ServiceMgr::handlePreStart()
{
    qDebug() << "Backend: " << backend();
    return true;
}

ServiceMgr::CommandResult ServiceMgr::handleStart()
{
    app->start();
    if (isNotifying()) {
        setStatusText(app->statusSummary());
        statusTimer.start();
    }
    return Completed;
}

ServiceMgr::CommandResult ServiceMgr::handleStop(int &exitCode)
{
    Q_UNUSED(exitCode)
    statusTimer.stop();
    app->stop();
    QTimer::singleShot(StopCompletionDelayMs, this, [this] { stopped(0); });
    return OperationPending;
}

ServiceMgr::CommandResult ServiceMgr::handleReload()
{
    return Completed;
}

ServiceMgr::CommandResult ServiceMgr::handlePause()
{
    return Completed;
}

ServiceMgr::CommandResult ServiceMgr::handleResume()
{
    return Completed;
}

bool ServiceMgr::handleArguments(const QStringList &arguments)
{
    qDebug() << "Args: " << arguments;
    return true;
}
