#include "boardupdate.h"
#include "layoutpages.h"
#include "tempappdir.h"

#include <QDir>
#include <QFile>
#include <QtTest>

using IntMap = QMap<int, int>;

class LayoutPagesTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void outputs_data();
    void outputs();
    void updateUrl();
    void stateJson_data();
    void stateJson();
    void indexPage();
    void layoutList();
    void fileTexts();
    void resolvesFilesInside_data();
    void resolvesFilesInside();
    void refusesPathsLeavingTheDirectory_data();
    void refusesPathsLeavingTheDirectory();

private:
    void makeLayoutTree();

    TempAppDir m_app;
};

void LayoutPagesTest::initTestCase()
{
    makeLayoutTree();
}

void LayoutPagesTest::outputs_data()
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

void LayoutPagesTest::outputs()
{
    QFETCH(QString, url);
    QFETCH(IntMap, change);
    QCOMPARE(BoardUpdate::parseOutputs(QUrl(url, QUrl::TolerantMode)), change);
}

void LayoutPagesTest::updateUrl()
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

void LayoutPagesTest::stateJson_data()
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

void LayoutPagesTest::stateJson()
{
    QFETCH(IntMap, blink);
    QFETCH(IntMap, gpo);
    QFETCH(IntMap, gpi);
    QFETCH(QByteArray, json);
    QCOMPARE(LayoutPages::stateJson(blink, gpo, gpi), json);
}

void LayoutPagesTest::indexPage()
{
    QHash<int, DVRInfo> dvrs;
    dvrs.insert(1, DVRInfo{1, QStringLiteral("Gate"), {}, {}, {}});
    QHash<int, IOInfo> ios;
    ios.insert(5, IOInfo{5, QStringLiteral("North door"), 1, 0, 80, true, true});
    // Its DVR does not exist: not listed.
    ios.insert(6, IOInfo{6, QStringLiteral("Orphan"), 9, 0, 80, true, true});
    QCOMPARE(LayoutPages::indexPage(dvrs, ios),
             QByteArray("<!DOCTYPE html><html><head><title>Index</title><body>"
                        "<h1>List of Layouts:</h1><ol><li><a href=\"/Gate/North door.html\">"
                        "/Gate/North door</a></li></ol></body></html>"));
    QCOMPARE(LayoutPages::indexPage({}, ios),
             QByteArray("<!DOCTYPE html><html><head><title>Index</title><body>"
                        "<h1>List of Layouts:</h1><ol></ol></body></html>"));

    // An IO is listed under every DVR record whose id is its dvrId; a second DVR with its own IO.
    dvrs.insert(2, DVRInfo{2, QStringLiteral("Yard"), {}, {}, {}});
    ios.insert(7, IOInfo{7, QStringLiteral("Barrier"), 2, 0, 80, true, true});
    const QByteArray page = LayoutPages::indexPage(dvrs, ios);
    QCOMPARE(page.count("<li>"), 2);
    QVERIFY(page.contains("<li><a href=\"/Yard/Barrier.html\">/Yard/Barrier</a></li>"));
    QVERIFY(!page.contains("Orphan"));
}

void LayoutPagesTest::layoutList()
{
    QHash<int, IOInfo> ios;
    ios.insert(6, IOInfo{6, QStringLiteral("Orphan"), 9, 0, 80, true, true});
    QCOMPARE(LayoutPages::layoutList(ios), QByteArray("Available layouts:\r\n- 6 - Orphan\r\n"));
    QCOMPARE(LayoutPages::layoutList({}), QByteArray("Available layouts:\r\n"));
}

void LayoutPagesTest::fileTexts()
{
    QCOMPARE(LayoutPages::missingFile(QStringLiteral("/a/b.html")),
             QByteArray("Requested file /a/b.html couldn't be found !"));
    QCOMPARE(LayoutPages::unreadableFile(QStringLiteral("/d.html")),
             QByteArray("Requested file /d.html couldn't be open for reading !"));
}

// <app>/settings.db and settings.ini beside <app>/html, a secret directory beside it whose name
// starts like the layout directory's, and symbolic links out of the layout directory.
void LayoutPagesTest::makeLayoutTree()
{
    QDir app(m_app.path());
    QVERIFY(app.mkpath(QStringLiteral("html/Gate")));
    QVERIFY(app.mkpath(QStringLiteral("html-secret")));
    auto write = [&](const QString &name, const QByteArray &content) {
        QFile file(app.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    };
    write(QStringLiteral("settings.db"), "secret db");
    write(QStringLiteral("settings.ini"), "secret ini");
    write(QStringLiteral("html-secret/x.html"), "secret page");
    write(QStringLiteral("html/Gate/North door.html"), "<html>north</html>");
    write(QStringLiteral("html/5.html"), "<html>five</html>");
    QVERIFY(QFile::link(app.filePath(QStringLiteral("settings.db")),
                        app.filePath(QStringLiteral("html/db.html"))));
    QVERIFY(QFile::link(app.filePath(QStringLiteral("html-secret")),
                        app.filePath(QStringLiteral("html/out"))));
    QVERIFY(QFile::link(app.filePath(QStringLiteral("html/5.html")),
                        app.filePath(QStringLiteral("html/Gate/five.html"))));
}

void LayoutPagesTest::resolvesFilesInside_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("target");

    QTest::newRow("plain") << "/5.html"
                           << "html/5.html";
    QTest::newRow("name with a space") << "/Gate/North door.html"
                                       << "html/Gate/North door.html";
    QTest::newRow("double slash") << "//Gate//North door.html"
                                  << "html/Gate/North door.html";
    QTest::newRow("dot segment") << "/./5.html"
                                 << "html/5.html";
    QTest::newRow("link inside the directory") << "/Gate/five.html"
                                               << "html/5.html";
}

void LayoutPagesTest::resolvesFilesInside()
{
    QFETCH(QString, path);
    QFETCH(QString, target);
    const LayoutDirectory dir(m_app.filePath(QStringLiteral("html")));
    QCOMPARE(dir.resolve(path), QFileInfo(m_app.filePath(target)).canonicalFilePath());
}

void LayoutPagesTest::refusesPathsLeavingTheDirectory_data()
{
    QTest::addColumn<QString>("path");

    // Request paths reach the directory decoded once: %2e%2e arrives as "..", a double-encoded
    // %252e%252e as the literal name "%2e%2e".
    QTest::newRow("dot-dot") << "/../settings.db";
    QTest::newRow("dot-dot with file suffix") << "/../html-secret/x.html";
    QTest::newRow("dot-dot after a directory") << "/Gate/../../settings.ini";
    QTest::newRow("dot-dot back inside") << "/Gate/../5.html";
    QTest::newRow("double-encoded dot-dot") << "/%2e%2e/settings.db";
    QTest::newRow("absolute path appended") << "//etc/passwd";
    QTest::newRow("symbolic link to a file outside") << "/db.html";
    QTest::newRow("symbolic link to a directory outside") << "/out/x.html";
    QTest::newRow("the directory itself") << "/";
    QTest::newRow("missing file") << "/a/b.html";
    QTest::newRow("NUL byte") << QStringLiteral("/5.html") + QChar(0) + QStringLiteral(".html");
}

void LayoutPagesTest::refusesPathsLeavingTheDirectory()
{
    QFETCH(QString, path);
    const LayoutDirectory dir(m_app.filePath(QStringLiteral("html")));
    QCOMPARE(dir.resolve(path), QString());
}

QTEST_GUILESS_MAIN(LayoutPagesTest)
#include "tst_layoutpages.moc"
