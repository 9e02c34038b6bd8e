#pragma once

#include <QList>

class QUrl;

// Which of the layout endpoints a request asks for, judged by its URL alone.
namespace LayoutRoute {

enum class Kind { File, State, Event, Index };

struct Route
{
    Kind kind = Kind::Index;
    // State: the "layout" query item as a number (0 when it is none); Event: the IO id of the
    // path.
    int layoutId = 0;
};

// ioIds are the configured IO boards: a path "/<n>" asks for an event only when n is one of
// them, and is an index request otherwise.
Route of(const QUrl &url, const QList<int> &ioIds);

} // namespace LayoutRoute
