#include "snapshotpainter.h"

#include <QBuffer>
#include <QImage>
#include <QPainter>

namespace {

// Segments a..g of each digit, as bits 0..6.
const quint8 digitSegments[10] = {0x3f, 0x06, 0x5b, 0x4f, 0x66, 0x6d, 0x7d, 0x07, 0x7f, 0x6f};

void drawDigit(QPainter &p, int x, int y, int w, int h, int digit, const QColor &color)
{
    const int t = qMax(2, w / 5);
    const int half = h / 2;
    const QRect segments[7] = {
        QRect(x + t, y, w - 2 * t, t), // a
        QRect(x + w - t, y + t, t, half - t), // b
        QRect(x + w - t, y + half, t, half - t), // c
        QRect(x + t, y + h - t, w - 2 * t, t), // d
        QRect(x, y + half, t, half - t), // e
        QRect(x, y + t, t, half - t), // f
        QRect(x + t, y + half - t / 2, w - 2 * t, t), // g
    };
    const quint8 bits = digitSegments[qBound(0, digit, 9)];
    for (int s = 0; s < 7; ++s) {
        if (bits & (1 << s))
            p.fillRect(segments[s], color);
    }
}

void drawNumber(QPainter &p, int x, int y, int w, int h, const QString &digits, const QColor &color)
{
    for (const QChar c : digits) {
        if (c.isDigit()) {
            drawDigit(p, x, y, w, h, c.digitValue(), color);
        } else {
            // A colon between hours, minutes and seconds.
            p.fillRect(QRect(x + w / 2 - 2, y + h / 3, 5, 5), color);
            p.fillRect(QRect(x + w / 2 - 2, y + 2 * h / 3, 5, 5), color);
        }
        x += w + w / 3;
    }
}

} // namespace

QByteArray SnapshotPainter::jpeg(int channel, const QTime &time, int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(QColor(20, 30, 45));
    QPainter p(&image);

    // A bar sweeping once every ten seconds.
    const int ms = time.msecsSinceStartOfDay() % 10000;
    const int barX = width * ms / 10000;
    p.fillRect(QRect(barX, 0, width / 12, height), QColor(60, 110, 170));

    const QColor digits(240, 220, 90);
    drawNumber(p, 16, 16, 28, 48, QString::number(channel), digits);
    drawNumber(p, 16, height - 88, 36, 64, time.toString(QStringLiteral("hh:mm:ss")),
               QColor(230, 230, 230));
    p.end();

    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPG", 80);
    return bytes;
}
