#pragma once

#include <QObject>

// A valid Qt plug-in for some other interface: loading succeeds but it is no IPlugin.
class OtherPlugin : public QObject
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "veltra.SomethingElse")
};
