#include "testplugin.h"

#include <QDebug>

QString TestPlugin::name() const
{
    return QStringLiteral(TEST_PLUGIN_NAME);
}

void TestPlugin::start(Config &config)
{
    qDebug() << QStringLiteral("%1 started with configuration at %2")
                    .arg(name())
                    .arg(quintptr(&config), 0, 16);
}

void TestPlugin::stop()
{
    qDebug() << QStringLiteral("%1 stopped").arg(name());
}

void TestPlugin::restart()
{
    qDebug() << QStringLiteral("%1 restarted").arg(name());
}
