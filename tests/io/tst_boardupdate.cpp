#include "boardupdate.h"
#include "layoutpages.h"

#include <QtTest>

using IntMap = QMap<int, int>;

class BoardUpdateTest : public QObject
{
    Q_OBJECT

private slots:
    void outputs_data();
    void outputs();
    void updateUrl();
    void stateJson_data();
    void stateJson();
};

void BoardUpdateTest::outputs_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<IntMap>("change");

    QTest::newRow("two outputs") << "/5?outputs=1,1|3,0" << IntMap{{1, 1}, {3, 0}};
    QTest::newRow("trailing bar drops the event") << "/5?outputs=1,1|" << IntMap();
    QTest::newRow("three parts drop the event") << "/5?outputs=1,1,1" << IntMap();
    QTest::newRow("empty value drops the event") << "/5?outputs=" << IntMap();
    QTest::newRow("no outputs item") << "/5?layout=5" << IntMap();
    QTest::newRow("name is case-sensitive") << "/5?Outputs=1,1" << IntMap();
    QTest::newRow("first outputs item only") << "/5?outputs=2,1&outputs=3,1" << IntMap{{2, 1}};
    QTest::newRow("later pair of one output wins") << "/5?outputs=2,1|2,0" << IntMap{{2, 0}};
    QTest::newRow("no numbers count 0") << "/5?outputs=a,b" << IntMap{{0, 0}};
    // Query items are read pretty-decoded: an encoded bar is decoded, an encoded comma is not.
    QTest::newRow("encoded bar") << "/5?x=1&outputs=4,1%7C7,0" << IntMap{{4, 1}, {7, 0}};
    QTest::newRow("encoded comma") << "/5?outputs=4%2C1|7,0" << IntMap();
}

void BoardUpdateTest::outputs()
{
    QFETCH(QString, url);
    QFETCH(IntMap, change);
    QCOMPARE(BoardUpdate::parseOutputs(QUrl(url, QUrl::TolerantMode)), change);
}

void BoardUpdateTest::updateUrl()
{
    // gpi from the blink values, then the board's outputs with the change applied (output 7 is
    // not on the page and is added), each in ascending order, then rdm.
    QCOMPARE(BoardUpdate::updateUrl(QStringLiteral("10.0.0.9"), 8080, {{2, 0}, {1, 1}},
                                    {{1, 0}, {2, 1}, {10, 1}}, {{2, 0}, {7, 1}}, 42),
             QStringLiteral("http://10.0.0.9:8080/alarm.htm?gpi1=1&gpi2=0&gpo1=0&gpo2=0&gpo7=1&"
                            "gpo10=1&rdm=42"));
    QCOMPARE(BoardUpdate::updateUrl(QStringLiteral("b"), 80, {}, {}, {}, 0),
             QStringLiteral("http://b:80/alarm.htm?rdm=0"));
}

void BoardUpdateTest::stateJson_data()
{
    QTest::addColumn<IntMap>("blink");
    QTest::addColumn<IntMap>("gpo");
    QTest::addColumn<IntMap>("gpi");
    QTest::addColumn<QByteArray>("json");

    QTest::newRow("first read") << IntMap() << IntMap() << IntMap()
                                << QByteArray("{\"inp\":{\n}\n, \"out\":{\n}\n, \"state\":{\n}\n}");
    QTest::newRow("blinks only") << IntMap{{1, 1}, {2, 0}} << IntMap() << IntMap()
                                 << QByteArray("{\"inp\":{\n    \"1\": 1,\n    \"2\": 0\n}\n"
                                               ", \"out\":{\n}\n, \"state\":{\n}\n}");
    QTest::newRow("members ordered as text")
        << IntMap() << IntMap{{2, 1}, {10, 0}} << IntMap{{-1, 3}}
        << QByteArray("{\"inp\":{\n}\n, \"out\":{\n    \"10\": 0,\n    \"2\": 1\n}\n"
                      ", \"state\":{\n    \"-1\": 3\n}\n}");
}

void BoardUpdateTest::stateJson()
{
    QFETCH(IntMap, blink);
    QFETCH(IntMap, gpo);
    QFETCH(IntMap, gpi);
    QFETCH(QByteArray, json);
    QCOMPARE(LayoutPages::stateJson(blink, gpo, gpi), json);
}

QTEST_GUILESS_MAIN(BoardUpdateTest)
#include "tst_boardupdate.moc"
