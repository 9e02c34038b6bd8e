#pragma once

#include "iplugin.h"

#include <QObject>

// A plug-in that logs every call it receives, so tests can see the calls interleaved with the
// service's own lines.
class TestPlugin : public QObject, public IPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID IPlugin_iid)
    Q_INTERFACES(IPlugin)
public:
    QString name() const override;
    void start(Config &config) override;
    void stop() override;
    void restart() override;
};
