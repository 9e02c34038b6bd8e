#include "jpegscaling.h"
#include "relayoptions.h"
#include "testjpeg.h"

#include <QtTest>

// The query items of a channel request, and the sizes they lead to.
class RelayOptionsTest : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void denominator_data();
    void denominator();
    void scalesInTheDctDomain_data();
    void scalesInTheDctDomain();
};

void RelayOptionsTest::parse_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<double>("fps");
    QTest::addColumn<int>("width");
    QTest::addColumn<bool>("snapshot");
    QTest::addColumn<QString>("error");

    const QString fpsError = "fps must be a number from 0.1 to 5";
    const QString widthError = "width must be a number of pixels, at least 16";
    // Accepted.
    QTest::newRow("nothing") << "" << true << 0.0 << 0 << false << "";
    QTest::newRow("foreign items are ignored") << "t=123&x&=1" << true << 0.0 << 0 << false << "";
    QTest::newRow("fps whole") << "fps=2" << true << 2.0 << 0 << false << "";
    QTest::newRow("fps decimal, lowest") << "fps=0.1" << true << 0.1 << 0 << false << "";
    QTest::newRow("fps highest") << "fps=5" << true << 5.0 << 0 << false << "";
    QTest::newRow("fps leading dot") << "fps=.5" << true << 0.5 << 0 << false << "";
    QTest::newRow("width") << "width=320" << true << 0.0 << 320 << false << "";
    QTest::newRow("width lowest") << "width=16" << true << 0.0 << 16 << false << "";
    QTest::newRow("width beyond any camera")
        << "width=99999999999999999999" << true << 0.0 << INT_MAX << false << "";
    QTest::newRow("all three") << "snapshot=1&width=100&fps=1" << true << 1.0 << 100 << true << "";
    QTest::newRow("snapshot=0 is the stream") << "snapshot=0" << true << 0.0 << 0 << false << "";
    QTest::newRow("percent-encoded")
        << "fps=1%2E5&width=%33%32%30" << true << 1.5 << 320 << false << "";
    // Refused, with the reason.
    QTest::newRow("fps zero") << "fps=0" << false << 0.0 << 0 << false << fpsError;
    QTest::newRow("fps too low") << "fps=0.09" << false << 0.0 << 0 << false << fpsError;
    QTest::newRow("fps too high") << "fps=5.01" << false << 0.0 << 0 << false << fpsError;
    QTest::newRow("fps without a value") << "fps" << false << 0.0 << 0 << false << fpsError;
    QTest::newRow("fps empty") << "fps=" << false << 0.0 << 0 << false << fpsError;
    QTest::newRow("fps word") << "fps=fast" << false << 0.0 << 0 << false << fpsError;
    QTest::newRow("fps exponent") << "fps=1e0" << false << 0.0 << 0 << false << fpsError;
    QTest::newRow("fps nan") << "fps=nan" << false << 0.0 << 0 << false << fpsError;
    QTest::newRow("fps with space") << "fps=%201" << false << 0.0 << 0 << false << fpsError;
    QTest::newRow("fps twice") << "fps=1&fps=2" << false << 0.0 << 0 << false
                               << "fps is given more than once";
    QTest::newRow("width too small") << "width=15" << false << 0.0 << 0 << false << widthError;
    QTest::newRow("width decimal") << "width=320.5" << false << 0.0 << 0 << false << widthError;
    QTest::newRow("width with unit") << "width=320px" << false << 0.0 << 0 << false << widthError;
    QTest::newRow("width twice") << "width=320&width=320" << false << 0.0 << 0 << false
                                 << "width is given more than once";
    QTest::newRow("snapshot yes") << "snapshot=yes" << false << 0.0 << 0 << false
                                  << "snapshot must be 1 (or 0 for the stream)";
    QTest::newRow("bad item after good ones")
        << "snapshot=1&width=320&fps=9" << false << 0.0 << 0 << false << fpsError;
}

void RelayOptionsTest::parse()
{
    QFETCH(QString, query);
    QFETCH(bool, ok);
    QFETCH(double, fps);
    QFETCH(int, width);
    QFETCH(bool, snapshot);
    QFETCH(QString, error);

    RelayOptions options;
    QCOMPARE(options.parse(query), ok);
    QCOMPARE(options.error(), error);
    QVERIFY(!options.error().contains(QLatin1Char('\n')));
    // A refused query asks for nothing: no half-parsed option may leak out of it.
    QCOMPARE(options.fps(), fps);
    QCOMPARE(options.width(), width);
    QCOMPARE(options.snapshot(), snapshot);
    QCOMPARE(options.isPlain(), fps == 0 && width == 0 && !snapshot);
    if (fps > 0)
        QCOMPARE(options.intervalMs(), int(1000 / fps + 0.5));
}

void RelayOptionsTest::denominator_data()
{
    QTest::addColumn<int>("sourceWidth");
    QTest::addColumn<int>("maxWidth");
    QTest::addColumn<int>("denominator");

    QTest::newRow("not asked") << 640 << 0 << 1;
    QTest::newRow("as wide as the camera") << 640 << 640 << 1;
    QTest::newRow("wider than the camera") << 640 << 5000 << 1;
    QTest::newRow("one pixel less is half") << 640 << 639 << 2;
    QTest::newRow("exactly half") << 640 << 320 << 2;
    QTest::newRow("just under half") << 640 << 319 << 4;
    QTest::newRow("an eighth fits") << 640 << 100 << 8;
    QTest::newRow("nothing fits: an eighth") << 640 << 16 << 8;
    QTest::newRow("1080p at 320") << 1920 << 320 << 8;
    QTest::newRow("1080p at 1000") << 1920 << 1000 << 2;
    // The decoder rounds up: 1/2 of 641 is 321 pixels wide.
    QTest::newRow("odd width rounds up") << 641 << 320 << 4;
}

void RelayOptionsTest::denominator()
{
    QFETCH(int, sourceWidth);
    QFETCH(int, maxWidth);
    QFETCH(int, denominator);
    QCOMPARE(JpegScaling::denominatorFor(sourceWidth, maxWidth), denominator);
}

void RelayOptionsTest::scalesInTheDctDomain_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("denominator");
    QTest::addColumn<QSize>("size");

    QTest::newRow("640x480 at 1/2") << 640 << 480 << 2 << QSize(320, 240);
    QTest::newRow("640x480 at 1/8") << 640 << 480 << 8 << QSize(80, 60);
    QTest::newRow("odd sizes round up") << 333 << 101 << 4 << QSize(84, 26);
}

void RelayOptionsTest::scalesInTheDctDomain()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, denominator);
    QFETCH(QSize, size);

    const QByteArray source = makeTestJpeg(width, height);
    QCOMPARE(jpegFrameSize(source), QSize(width, height));
    const JpegScaling::Header header = JpegScaling::readHeader(source);
    QVERIFY(header.ok);
    QCOMPARE(QSize(header.width, header.height), QSize(width, height));

    const JpegScaling::Result result = JpegScaling::scale(source, denominator);
    QVERIFY2(result.ok, qPrintable(result.error));
    QCOMPARE(jpegFrameSize(result.jpeg), size);
    QCOMPARE(QSize(result.width, result.height), size);
    QVERIFY(result.jpeg.size() < source.size());

    // Bytes that are no JPEG, or one cut off before its frame header, are refused with a reason.
    for (const QByteArray &bad :
         {QByteArray("\xFF\xD8not a picture"), source.left(20), QByteArray()}) {
        QVERIFY(!JpegScaling::readHeader(bad).ok);
        const JpegScaling::Result refused = JpegScaling::scale(bad, denominator);
        QVERIFY(!refused.ok);
        QVERIFY(!refused.error.isEmpty());
        QVERIFY(refused.jpeg.isEmpty());
    }
}

QTEST_GUILESS_MAIN(RelayOptionsTest)
#include "tst_relayoptions.moc"
