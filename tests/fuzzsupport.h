#pragma once

// What the fuzz targets share besides the replay driver: an application object for the Qt
// pieces that want one, and a message handler that keeps the log quiet (the service logs every
// packet and message it handles, which would drown libFuzzer's own output) while letting a
// target see whether anything warned.

#include <QByteArray>
#include <QCoreApplication>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <cstdint>

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

// `raw` cut into pieces of 1 to `maxPiece` bytes, at points that follow from `seed` alone, for the
// targets that check that input in pieces gives what it gives whole.
inline QList<QByteArray> pieces(const QByteArray &raw, uint32_t seed, int maxPiece)
{
    QList<QByteArray> out;
    uint32_t state = seed;
    for (int pos = 0; pos < raw.size();) {
        state = state * 1664525u + 1013904223u;
        const int length = 1 + int((state >> 16) % uint32_t(maxPiece));
        out << raw.mid(pos, length);
        pos += length;
    }
    return out;
}

} // namespace FuzzSupport
