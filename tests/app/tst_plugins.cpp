#include "app.h"
#include "appdir.h"
#include "config.h"
#include "iplugin.h"
#include "logcapture.h"
#include "tempappdir.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QtTest>

namespace {

// "alpha", "beta", "other" name the test libraries; "text" is a file of plain text.
bool place(const QString &root, const QString &relativePath, const QString &what)
{
    const QString target = root + QLatin1Char('/') + relativePath;
    if (!QDir().mkpath(QFileInfo(target).absolutePath()))
        return false;
    if (what == QLatin1String("text")) {
        QFile file(target);
        return file.open(QIODevice::WriteOnly) && file.write("not a library\n") > 0;
    }
    if (what == QLatin1String("dir"))
        return QDir().mkpath(target);
    const QString source = what == QLatin1String("alpha") ? QStringLiteral(ALPHA_PLUGIN)
        : what == QLatin1String("beta")                   ? QStringLiteral(BETA_PLUGIN)
                                                          : QStringLiteral(OTHER_PLUGIN);
    return QFile::copy(source, target);
}

QStringList pluginNames(const App &app)
{
    QStringList names;
    for (IPlugin *plugin : app.loadedPlugins())
        names.append(plugin->name());
    return names;
}

} // namespace

class PluginsTest : public QObject
{
    Q_OBJECT

private slots:
    void load_data();
    void load();
    void startStopOrder_data();
    void startStopOrder();
};

void PluginsTest::load_data()
{
    QTest::addColumn<QString>("appDir");
    // relative path => what to put there
    QTest::addColumn<QStringList>("files");
    // one regular expression per expected log line, in any order (the listing is unsorted)
    QTest::addColumn<QStringList>("expectedLines");
    QTest::addColumn<QStringList>("expectedNames");

    const QString alphaOk = QRegularExpression::escape(QStringLiteral("\"Loading a.so ... Ok\""));
    QTest::newRow("plug-in loaded") << "bin" << QStringList{"bin/svc-plugins/a.so=alpha"}
                                    << QStringList{alphaOk} << QStringList{"Alpha"};
    QTest::newRow("two plug-ins")
        << "bin" << QStringList{"bin/svc-plugins/a.so=alpha", "bin/svc-plugins/b.so=beta"}
        << QStringList{alphaOk,
                       QRegularExpression::escape(QStringLiteral("\"Loading b.so ... Ok\""))}
        << QStringList{"Alpha", "Beta"};
    QTest::newRow("not an IPlugin")
        << "bin" << QStringList{"bin/svc-plugins/o.so=other"}
        << QStringList{QRegularExpression::escape(QStringLiteral("\"Loading o.so ... Failed\""))}
        << QStringList();
    QTest::newRow("not a library")
        << "bin" << QStringList{"bin/svc-plugins/t.so=text"}
        << QStringList{QStringLiteral("\"Loading t\\.so \\.\\.\\. Failed \\(.+\\)\"")}
        << QStringList();
    QTest::newRow("suffix is case-sensitive, other files skipped")
        << "bin"
        << QStringList{"bin/svc-plugins/a.SO=alpha", "bin/svc-plugins/a.so.1=alpha",
                       "bin/svc-plugins/readme.txt=text", "bin/svc-plugins/d.so=dir"}
        << QStringList() << QStringList();
    QTest::newRow("Release directory uses the sibling svc-plugins")
        << "Release" << QStringList{"svc-plugins/a.so=alpha", "Release/svc-plugins/b.so=beta"}
        << QStringList{alphaOk} << QStringList{"Alpha"};
    QTest::newRow("debug directory uses the sibling svc-plugins")
        << "out/debug"
        << QStringList{"out/svc-plugins/a.so=alpha", "out/debug/svc-plugins/b.so=beta"}
        << QStringList{alphaOk} << QStringList{"Alpha"};
    QTest::newRow("other directory names are kept")
        << "Releases" << QStringList{"svc-plugins/b.so=beta", "Releases/svc-plugins/a.so=alpha"}
        << QStringList{alphaOk} << QStringList{"Alpha"};
    QTest::newRow("without svc-plugins the application directory is listed")
        << "bin" << QStringList{"bin/a.so=alpha", "bin/svc-plugin/b.so=beta"}
        << QStringList{alphaOk} << QStringList{"Alpha"};
}

void PluginsTest::load()
{
    QFETCH(QString, appDir);
    QFETCH(QStringList, files);
    QFETCH(QStringList, expectedLines);
    QFETCH(QStringList, expectedNames);

    TempAppDir root;
    QVERIFY(root.isValid());
    QVERIFY(QDir(root.path()).mkpath(appDir));
    for (const QString &file : qAsConst(files)) {
        const QStringList parts = file.split(QLatin1Char('='));
        QVERIFY2(place(root.path(), parts.at(0), parts.at(1)), qPrintable(file));
    }
    setApplicationDirectory(root.filePath(appDir));

    LogCapture log;
    App app;
    app.loadPlugins();

    QStringList lines = log.lines();
    QCOMPARE(lines.size(), expectedLines.size());
    for (const QString &pattern : qAsConst(expectedLines)) {
        const QRegularExpression re(QRegularExpression::anchoredPattern(pattern));
        const int index = lines.indexOf(re);
        QVERIFY2(index >= 0, qPrintable(pattern + " not in " + log.lines().join(" | ")));
        lines.removeAt(index);
    }
    QStringList names = pluginNames(app);
    names.sort();
    QCOMPARE(names, expectedNames);
}

void PluginsTest::startStopOrder_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<int>("loaded");
    QTest::newRow("no plug-ins") << QStringList() << 0;
    QTest::newRow("two plug-ins and one that is not an IPlugin")
        << QStringList{"svc-plugins/a.so=alpha", "svc-plugins/o.so=other", "svc-plugins/b.so=beta"}
        << 2;
}

void PluginsTest::startStopOrder()
{
    QFETCH(QStringList, files);
    QFETCH(int, loaded);
    TempAppDir root;
    QVERIFY(root.isValid());
    for (const QString &file : qAsConst(files)) {
        const QStringList parts = file.split(QLatin1Char('='));
        QVERIFY(place(root.path(), parts.at(0), parts.at(1)));
    }
    root.makeCurrent();

    App app;
    app.loadPlugins();
    const QStringList order = pluginNames(app);
    QCOMPARE(order.size(), loaded);

    LogCapture log;
    const QString config = QString::number(quintptr(&Config::instance()), 16);
    QStringList expected;
    app.startPlugins();
    for (const QString &name : order) {
        expected << QStringLiteral("\"Starting %1\"").arg(name)
                 << QStringLiteral("\"%1 started with configuration at %2\"").arg(name, config);
    }
    app.restartPlugins();
    for (const QString &name : order)
        expected << QStringLiteral("\"Restarting %1\"").arg(name)
                 << QStringLiteral("\"%1 restarted\"").arg(name);
    app.stop();
    expected << QStringLiteral("Stopping service");
    for (const QString &name : order)
        expected << QStringLiteral("\"Stopping %1\"").arg(name)
                 << QStringLiteral("\"%1 stopped\"").arg(name);
    QCOMPARE(log.lines(), expected);
}

QTEST_GUILESS_MAIN(PluginsTest)
#include "tst_plugins.moc"
