#pragma once

#include "service.h"

#include <QTimer>

class App;

// How long after a stop request the host is told the stop is complete.
constexpr int StopCompletionDelayMs = 1000;

// Connects the service host to the application controller: the host's start and stop become
// App::start and App::stop.
class ServiceMgr : public QtService::Service
{
    Q_OBJECT
public:
    ServiceMgr(int &argc, char **argv);
    ~ServiceMgr() override;

protected:
    bool handlePreStart() override;
    CommandResult handleStart() override;
    CommandResult handleStop(int &exitCode) override;
    CommandResult handleReload() override;
    CommandResult handlePause() override;
    CommandResult handleResume() override;
    bool handleArguments(const QStringList &arguments) override;

private:
    App *app;
    // Keeps systemd's STATUS= line current; the host sends only what changed.
    QTimer statusTimer;
};
