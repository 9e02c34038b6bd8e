#pragma once

#include <QtGlobal>

// The numbers behind the site's access rules, in one place so tests can name them.
namespace AccessLimits {

// Failed logins from one address (an IPv6 address with its /64) within the window lock it out.
constexpr int MaxFailedLogins = 10;
constexpr qint64 FailureWindowMs = 60 * 1000;
constexpr qint64 LockoutMs = 60 * 1000;
// Addresses remembered at once; beyond it the quiet ones are forgotten first.
constexpr int MaxTrackedAddresses = 10000;

// A login is good for this long on every port of the site, through its session cookie.
constexpr qint64 SessionLifetimeMs = 12 * 60 * 60 * 1000;
constexpr int MaxSessions = 10000;
constexpr int SessionTokenBytes = 32;

// Distinct credentials being checked at once; more wait for a retry (503).
constexpr int MaxPendingVerifications = 32;
// A changed settings.ini is read this long after the last change was seen.
constexpr int ReloadDelayMs = 300;

} // namespace AccessLimits
