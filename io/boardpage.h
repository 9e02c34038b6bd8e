#pragma once

#include <QMap>
#include <QString>

// What one read of a board's alarm.htm says. A map is empty when the page holds no element of
// its kind; the caller then keeps what it knew before.
struct BoardPageState
{
    // Blinking status texts, numbered by their position in the page from 1: 1 for "on", else 0.
    QMap<int, int> blinkValues;
    // The selects named gpi<n> and gpo<n>, by n, with the value of their selected option.
    QMap<int, int> gpiValues;
    QMap<int, int> gpoValues;
};

// Reads the status page of an alarm IO board.
//
// The board's own page is matched with a small set of patterns (comments removed, lower-cased,
// <blink> texts, gpi/gpo selects and their first option). They are implemented as forward scans
// rather than backtracking regular expressions: the page comes from the network, and a lazy
// pattern retried from every start position costs quadratic time on a crafted page. The scans
// give the same results as these reference patterns (checked by the tests):
//   comments:  <!--.*?-->                        (dot matches line breaks)
//   blinks:    <blink>(.*?)</blink>              (dot stops at line feeds)
//   selects:   <select.+?name="?(.+?)"?>(.+?)</select>   (dot matches line breaks)
//   option:    <option\s+?(selected)?\s*?value="?(.+?)"?\s*?(selected)?\s*?>
namespace BoardPage {

BoardPageState parse(const QByteArray &page);

// The text the patterns run on: UTF-8 up to the first NUL byte, comments removed, lower case.
QString normalized(const QByteArray &page);

QString withoutComments(const QString &text);

// The value of the first option element of a select's body when that option is marked
// "selected"; 1 otherwise, and when the body has no option at all. Expects lower-case text.
int selectedOptionValue(const QString &body);

} // namespace BoardPage
