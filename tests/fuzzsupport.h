#pragma once

// What the fuzz targets share besides the replay driver: an application object for the Qt
// pieces that want one, and a message handler that keeps the log quiet (the service logs every
// packet and message it handles, which would drown libFuzzer's own output) while letting a
// target see whether anything warned.

#include <QCoreApplication>
#include <QString>
#include <QtGlobal>

namespace FuzzSupport {

inline int &warnings()
{
    static int count = 0;
    return count;
}

inline void quietHandler(QtMsgType type, const QMessageLogContext &, const QString &)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        ++warnings();
}

// Called once, before the first input.
inline void initialize()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    if (!QCoreApplication::instance())
        new QCoreApplication(argc, argv);
    // VELTRA_FUZZ_LOG=1 keeps the log on standard error, to follow what one input does.
    if (!qEnvironmentVariableIsSet("VELTRA_FUZZ_LOG"))
        qInstallMessageHandler(quietHandler);
}

} // namespace FuzzSupport
