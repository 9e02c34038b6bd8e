#pragma once

// Fixed values of the link to the Central server.
namespace Central {

// Prefix filter of the subscription: the Central server publishes to every service under it.
constexpr char topic[] = "services";

// How long stop() lets the worker thread wind down before it is terminated.
constexpr int threadStopTimeoutMs = 1000;

// While the Central server cannot be reached, ZeroMQ retries the connection after 100 ms and by
// default keeps retrying every 100 ms, which wakes a quiet site computer twenty times a second
// for as long as the Central server is down. The pause between retries doubles up to this
// instead: a Central server that comes back is found again within about two seconds.
constexpr int reconnectIntervalMaxMs = 2000;

} // namespace Central
