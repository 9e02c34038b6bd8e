#include "layoutroute.h"

#include <QUrl>
#include <QtTest>

Q_DECLARE_METATYPE(LayoutRoute::Kind)

// Routing of the layout server's request targets, as the connection hands them over.
class LayoutRouteTest : public QObject
{
    Q_OBJECT
private slots:
    void routes_data();
    void routes();
};

void LayoutRouteTest::routes_data()
{
    using K = LayoutRoute::Kind;
    QTest::addColumn<QString>("target");
    QTest::addColumn<K>("kind");
    QTest::addColumn<int>("layoutId");

    QTest::newRow("door command") << "/5?outputs=1,1|3,0" << K::Event << 5;
    QTest::newRow("leading zero is the same id") << "/05?outputs=1,1" << K::Event << 5;
    QTest::newRow("percent-encoded digit") << "/%35?outputs=1,1" << K::Event << 5;
    QTest::newRow("no query still an event") << "/12" << K::Event << 12;
    QTest::newRow("id that is no IO board") << "/99?outputs=1,1" << K::Index << 0;
    QTest::newRow("id with trailing text") << "/5x?outputs=1,1" << K::Index << 0;
    QTest::newRow("id in a sub-path") << "/a/5" << K::Index << 0;
    QTest::newRow("state read") << "/read?layout=12" << K::State << 12;
    QTest::newRow("state read, id no number") << "/read?layout=abc" << K::State << 0;
    QTest::newRow("state read of an unknown id") << "/read?layout=99" << K::State << 99;
    QTest::newRow("read without layout item") << "/read?other=5" << K::Index << 0;
    QTest::newRow("read without query") << "/read" << K::Index << 0;
    QTest::newRow("read in capitals") << "/READ?layout=5" << K::Index << 0;
    QTest::newRow("read.html is a file") << "/read.html?layout=5" << K::File << 0;
    QTest::newRow("page with encoded space") << "/Lobby/North%20door.html" << K::File << 0;
    QTest::newRow("id with a file suffix") << "/5.css?outputs=1,1" << K::File << 0;
    QTest::newRow("suffix in capitals is no file") << "/cam.JPG" << K::Index << 0;
    QTest::newRow("root") << "/" << K::Index << 0;
}

void LayoutRouteTest::routes()
{
    QFETCH(QString, target);
    QFETCH(LayoutRoute::Kind, kind);
    QFETCH(int, layoutId);
    const LayoutRoute::Route route = LayoutRoute::of(QUrl(target, QUrl::TolerantMode), {5, 12});
    QCOMPARE(route.kind, kind);
    QCOMPARE(route.layoutId, layoutId);
}

QTEST_GUILESS_MAIN(LayoutRouteTest)
#include "tst_layoutroute.moc"
