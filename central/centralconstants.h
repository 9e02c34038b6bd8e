#pragma once

// Fixed values of the link to the Central server.
namespace Central {

// Prefix filter of the subscription: the Central server publishes to every service under it.
constexpr char topic[] = "services";

// How long stop() lets the worker thread wind down before it is terminated.
constexpr int threadStopTimeoutMs = 1000;

} // namespace Central
