#pragma once

#include <QtGlobal>

// Timing and limits of the IO board link, kept together so that tests can refer to them.
namespace IoEvents {

// A board is read again this long after the previous read ended, successful or not.
constexpr int PollIntervalMs = 2000;

// A status page is a few kilobytes; anything bigger is not a board page and is neither held,
// decoded nor scanned.
constexpr qint64 MaxBoardPageSize = 1024 * 1024;

// Update queries end with rdm=<0..9999> so that no cache between us and the board can answer
// them.
constexpr int RandomParameterRange = 10000;

// A door command fails when no poll of its board succeeded within this long of the command.
constexpr int CommandPollLimitMs = 30000;
// Longest wait of a wait=1 door command for its result.
constexpr int CommandWaitLimitMs = 35000;
// Update queries sent for one command before it fails; the update sets absolute values, so a
// repeat is harmless.
constexpr int MaxUpdateAttempts = 3;
// Answered polls after the update that may still show other values before the command fails.
constexpr int ConfirmPolls = 2;

} // namespace IoEvents

// What HttpEvents applies to the boards it polls; tests shorten the intervals.
struct IoTimings
{
    int pollIntervalMs = IoEvents::PollIntervalMs;
    // -1 keeps HTTPFetcher's own time-out.
    int fetchTimeoutMs = -1;
    qint64 maxBoardPageSize = IoEvents::MaxBoardPageSize;
    int commandPollLimitMs = IoEvents::CommandPollLimitMs;
    int commandWaitLimitMs = IoEvents::CommandWaitLimitMs;
};
