#pragma once

#include <QMap>
#include <QString>

class QUrl;

// Output changes asked for by a layout page, and the query that carries them to the board.
namespace BoardUpdate {

// The change carried by the first "outputs" query item, e.g. outputs=1,1|3,0 gives
// {1: 1, 3: 0}. Any piece that is not exactly "output,value" (a trailing bar included) drops
// the whole change: an empty map is returned.
QMap<int, int> parseOutputs(const QUrl &url);

// The board's form sent back as a GET: the gpi parameters from the blink values, then the gpo
// parameters from the board's outputs with the change applied, then rdm.
QString updateUrl(const QString &host, int port, const QMap<int, int> &blinkValues,
                  const QMap<int, int> &gpoValues, const QMap<int, int> &change, int random);

} // namespace BoardUpdate
