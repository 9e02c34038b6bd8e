// Matches a few patterns with QRegularExpression, as the service does, and prints "matched" when
// every result is right. The unit test starts it under the service's sandbox: the pattern engine
// compiles to machine code where it may, which MemoryDenyWriteExecute= forbids, and it must then
// fall back to interpreting rather than fail.

#include <QRegularExpression>
#include <QString>

#include <cstdio>

int main()
{
    const QRegularExpression drive(QStringLiteral("^[A-Za-z]:"));
    const QRegularExpression words(QStringLiteral("(\\w+)-(\\d+)$"));
    bool right = drive.isValid() && words.isValid();
    // Enough matches for an engine that compiles only after some use to have done so.
    for (int i = 0; i < 1000 && right; ++i) {
        right = drive.match(QStringLiteral("C:/layouts")).hasMatch()
            && !drive.match(QStringLiteral("layouts/C:")).hasMatch()
            && words.match(QStringLiteral("gate-%1").arg(i)).captured(2) == QString::number(i);
    }
    std::puts(right ? "matched" : "wrong");
    return right ? 0 : 1;
}
