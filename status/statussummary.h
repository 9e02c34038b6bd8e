#pragma once

#include "statusfacts.h"

#include <QString>

// The one line systemd shows for the service, e.g. "Registered; 3 of 8 cameras watched; 1 of 2
// IO boards down; 2 of 2 streamers alive". Kinds of which nothing is configured are left out.
namespace StatusSummary {

QString line(const StatusFacts &facts);

} // namespace StatusSummary
