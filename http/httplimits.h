#pragma once

#include <QtGlobal>

// Bounds the embedded HTTP server puts on what one client may make it hold. The sizes are the
// defaults trusted servers such as nginx apply; nothing served here needs a request body, so the
// body bound is small. Durations are defaults that a server can override (tests use milliseconds).
namespace HttpLimits {

// Longest request line, not counting its CR LF; longer ones are answered 414.
constexpr int MaxRequestLine = 8 * 1024;
// Largest header block (every line after the request line, up to and including the empty line
// that ends it); larger ones are answered 431.
constexpr int MaxHeaderBlock = 32 * 1024;
// Most header lines in one request; more are answered 431.
constexpr int MaxHeaderLines = 100;
// Largest announced body; larger ones are answered 413 before any body byte is read.
constexpr qint64 MaxBody = 1024 * 1024;

// While a connection holds more than this of earlier answers unsent, its further requests wait
// in the network: a client that pipelines requests and never reads would otherwise make us queue
// every answer.
constexpr qint64 MaxReplyBacklog = 1024 * 1024;

// A request must be complete this long after its first byte, or it is answered 408.
constexpr int RequestTimeoutMs = 30 * 1000;
// A persistent connection with no request in progress is closed after this long.
constexpr int IdleTimeoutMs = 75 * 1000;
// Connections one server holds at once; further ones are closed as soon as they are accepted.
constexpr int MaxConnections = 1000;

} // namespace HttpLimits
