#pragma once

#include <QMap>
#include <QtGlobal>

#include <map>

// What one HTTP port has served. The servers count into it; it is kept outside of them so that
// a port served again after a configuration update goes on counting where it was.
struct HttpPortCounters
{
    // A server listens on the port now; a port nobody serves any more is not reported.
    bool open = false;
    int connections = 0;
    // Of those, the ones speaking HTTP/2, and the streams open on them.
    int http2Connections = 0;
    int http2Streams = 0;
    // Answers by status code; a stream taken over by its handler counts once, as 200.
    QMap<int, quint64> requestsByCode;
};

// Keyed by port. A std::map, because the servers keep pointers to their entries.
using HttpCounterTable = std::map<quint16, HttpPortCounters>;
