#pragma once

#include <QString>
#include <QtPlugin>

class Config;

// Implemented by the Qt plug-ins in svc-plugins; the service starts them after its configuration
// is loaded and stops them with the service. The order of these functions is part of the binary
// contract with plug-ins built separately: append, never reorder.
class IPlugin
{
public:
    virtual ~IPlugin() { }
    virtual QString name() const = 0;
    virtual void start(Config &config) = 0;
    virtual void stop() = 0;
    // The configuration was reloaded.
    virtual void restart() = 0;
};

#define IPlugin_iid "veltra.IPlugin"
Q_DECLARE_INTERFACE(IPlugin, IPlugin_iid)
