#include "boardpage.h"
#include "boardpagereference.h"
#include "ioconstants.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QtTest>

using IntMap = QMap<int, int>;

namespace {

QByteArray soup(QRandomGenerator &random, const QList<QByteArray> &tokens, int count)
{
    QByteArray text;
    for (int i = 0; i < count; ++i)
        text += tokens.at(random.bounded(tokens.size()));
    return text;
}

} // namespace

class BoardPageTest : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void selectedOption_data();
    void selectedOption();
    void agreesWithReferencePatterns();
    void hostilePageScansInLinearTime_data();
    void hostilePageScansInLinearTime();
};

void BoardPageTest::parse_data()
{
    QTest::addColumn<QByteArray>("page");
    QTest::addColumn<IntMap>("blink");
    QTest::addColumn<IntMap>("gpi");
    QTest::addColumn<IntMap>("gpo");

    QTest::newRow("capital blink tags, On and off")
        << QByteArray("<BLINK>On</BLINK> <Blink>off</bLiNk>") << IntMap{{1, 1}, {2, 0}} << IntMap()
        << IntMap();
    QTest::newRow("blink text other than on counts 0")
        << QByteArray("<blink> on</blink><blink>ON!</blink><blink></blink>")
        << IntMap{{1, 0}, {2, 0}, {3, 0}} << IntMap() << IntMap();
    QTest::newRow("blink split over lines is skipped")
        << QByteArray("<blink>o\nn</blink><blink>on</blink>") << IntMap{{1, 1}} << IntMap()
        << IntMap();
    QTest::newRow("commented elements are ignored")
        << QByteArray("<!-- <blink>on</blink> <select name=\"gpo1\"><option value=\"0\" "
                      "selected></option></select> --><blink>off</blink>")
        << IntMap{{1, 0}} << IntMap() << IntMap();
    QTest::newRow("comment across lines")
        << QByteArray("<!--\n<blink>on</blink>\n--><blink>on</blink><!-- x -->") << IntMap{{1, 1}}
        << IntMap() << IntMap();
    QTest::newRow("gpo first option selected after value")
        << QByteArray("<select name=\"gpo3\"><option value=\"0\" selected>Off</option>"
                      "<option value=\"1\">On</option></select>")
        << IntMap() << IntMap() << IntMap{{3, 0}};
    QTest::newRow("gpo first option not selected")
        << QByteArray("<select name=\"gpo3\"><option value=\"0\">Off</option>"
                      "<option value=\"1\" selected>On</option></select>")
        << IntMap() << IntMap() << IntMap{{3, 1}};
    QTest::newRow("selected before value")
        << QByteArray("<select name=gpo2><option selected value=5>5</option></select>") << IntMap()
        << IntMap() << IntMap{{2, 5}};
    QTest::newRow("capital select, unquoted name, gpi")
        << QByteArray("<SELECT NAME=GPI4><OPTION VALUE=\"0\" SELECTED>x</OPTION></SELECT>")
        << IntMap() << IntMap{{4, 0}} << IntMap();
    QTest::newRow("gpx ignored, bare gpo is output 0")
        << QByteArray("<select name=\"gpx1\"><option value=\"0\" selected></option></select>"
                      "<select name=\"gpo\"><option value=\"0\" selected></option></select>")
        << IntMap() << IntMap() << IntMap{{0, 0}};
    QTest::newRow("select without option gives 1")
        << QByteArray("<select name=\"gpi7\">nothing</select>") << IntMap() << IntMap{{7, 1}}
        << IntMap();
    QTest::newRow("later select of the same number wins")
        << QByteArray("<select name=\"gpo1\"><option value=\"0\" selected></option></select>"
                      "<select name=\"gpo1\"><option value=\"4\" selected></option></select>")
        << IntMap() << IntMap() << IntMap{{1, 4}};
    QTest::newRow("text after a NUL byte is not read")
        << QByteArray("<blink>on</blink>\0<blink>on</blink>", 35) << IntMap{{1, 1}} << IntMap()
        << IntMap();
    QTest::newRow("no elements") << QByteArray("<html><body>board</body></html>") << IntMap()
                                 << IntMap() << IntMap();
}

void BoardPageTest::parse()
{
    QFETCH(QByteArray, page);
    QFETCH(IntMap, blink);
    QFETCH(IntMap, gpi);
    QFETCH(IntMap, gpo);
    const BoardPageState state = BoardPage::parse(page);
    QCOMPARE(state.blinkValues, blink);
    QCOMPARE(state.gpiValues, gpi);
    QCOMPARE(state.gpoValues, gpo);
    // The scanner stands in for the patterns; they must give the same on every case.
    const BoardPageState reference = ReferenceParser::parse(page);
    QCOMPARE(reference.blinkValues, blink);
    QCOMPARE(reference.gpiValues, gpi);
    QCOMPARE(reference.gpoValues, gpo);
}

void BoardPageTest::selectedOption_data()
{
    QTest::addColumn<QString>("body");
    QTest::addColumn<int>("value");

    QTest::newRow("no option") << QString() << 1;
    QTest::newRow("selected after quoted value") << "<option value=\"0\" selected>" << 0;
    QTest::newRow("selected before value") << "<option selected value=\"7\">" << 7;
    QTest::newRow("not selected") << "<option value=\"0\">" << 1;
    QTest::newRow("only the first option counts")
        << "<option value=\"3\"><option value=\"0\" selected>" << 1;
    QTest::newRow("value not a number") << "<option value=\"on\" selected>" << 0;
    QTest::newRow("option without value is skipped")
        << "<option>a</option><option value=9 selected>" << 9;
    QTest::newRow("value with spaces before >") << "<option value=12   >" << 1;
    QTest::newRow("other attribute after value") << "<option value=\"4\" id=\"x\" selected>" << 0;
    QTest::newRow("no space after option") << "<optionvalue=\"4\" selected>" << 1;
    QTest::newRow("value may not span lines") << "<option value=\"4\n\" selected>" << 1;
    QTest::newRow("spaces and line breaks around selected")
        << "<option\n\tvalue=\"6\"\r\n selected \n>" << 6;
}

void BoardPageTest::selectedOption()
{
    QFETCH(QString, body);
    QFETCH(int, value);
    QCOMPARE(BoardPage::selectedOptionValue(body), value);
    QCOMPARE(ReferenceParser::selectedOptionValue(body), value);
}

// Token soups push the scanner through the backtracking corners of the patterns (quotes that
// give way, empty selects that swallow the next one, values ending at line feeds...).
void BoardPageTest::agreesWithReferencePatterns()
{
    const QList<QByteArray> tokens = {
        "<select",
        " ",
        "name=",
        "\"",
        ">",
        "</select>",
        "gpo1",
        "gpi2",
        "gpo",
        "<option",
        "selected",
        "value=",
        "0",
        "5",
        "x",
        "\n",
        "\t",
        "<blink>",
        "</blink>",
        "on",
        "ON",
        "<!--",
        "-->",
        "<SELECT name=\"gpo3\">",
        "<option value=\"0\" selected>",
        "\"\"",
        ">>",
    };
    QRandomGenerator random(20240611);
    for (int round = 0; round < 4000; ++round) {
        const QByteArray page = soup(random, tokens, 1 + random.bounded(40));
        const BoardPageState state = BoardPage::parse(page);
        const BoardPageState reference = ReferenceParser::parse(page);
        if (state.blinkValues != reference.blinkValues || state.gpiValues != reference.gpiValues
            || state.gpoValues != reference.gpoValues)
            QFAIL(qPrintable(QStringLiteral("page differs: %1").arg(QString::fromUtf8(page))));

        const QString body = QString::fromUtf8(soup(random, tokens, 1 + random.bounded(20)));
        if (BoardPage::selectedOptionValue(body) != ReferenceParser::selectedOptionValue(body))
            QFAIL(qPrintable(QStringLiteral("option differs: %1").arg(body)));
    }
}

void BoardPageTest::hostilePageScansInLinearTime_data()
{
    QTest::addColumn<QByteArray>("unit");
    QTest::addColumn<QByteArray>("prefix");
    QTest::addColumn<QByteArray>("suffix");

    QTest::newRow("unclosed comments") << QByteArray("<!--") << QByteArray() << QByteArray();
    QTest::newRow("unclosed blinks") << QByteArray("<blink>") << QByteArray() << QByteArray();
    QTest::newRow("blinks broken by line feeds")
        << QByteArray("<blink>\n") << QByteArray() << QByteArray("</blink>");
    QTest::newRow("selects without name") << QByteArray("<select ") << QByteArray() << QByteArray();
    QTest::newRow("unclosed selects")
        << QByteArray("<select name=\"gpo1\">") << QByteArray() << QByteArray();
    QTest::newRow("options that never close")
        << QByteArray("<option value=\"x ") << QByteArray("<select name=gpo1>")
        << QByteArray("</select>");
    QTest::newRow("options with long white space")
        << QByteArray("<option value=a        selected     ") << QByteArray("<select name=gpo1>")
        << QByteArray("</select>");
}

void BoardPageTest::hostilePageScansInLinearTime()
{
    QFETCH(QByteArray, unit);
    QFETCH(QByteArray, prefix);
    QFETCH(QByteArray, suffix);

    auto page = [&](qint64 size) {
        QByteArray text = prefix;
        while (text.size() + unit.size() + suffix.size() <= size)
            text += unit;
        return text + suffix;
    };
    // Best of three, so that a busy machine does not decide the outcome.
    auto parseTime = [](const QByteArray &text) {
        qint64 best = std::numeric_limits<qint64>::max();
        for (int i = 0; i < 3; ++i) {
            QElapsedTimer timer;
            timer.start();
            const BoardPageState state = BoardPage::parse(text);
            Q_UNUSED(state);
            best = qMin(best, timer.nsecsElapsed());
        }
        return best;
    };
    const QByteArray small = page(IoEvents::MaxBoardPageSize / 4);
    const QByteArray large = page(IoEvents::MaxBoardPageSize);
    const qint64 smallTime = parseTime(small);
    const qint64 largeTime = parseTime(large);
    qDebug("256 KiB: %.2f ms, 1 MiB: %.2f ms", smallTime / 1e6, largeTime / 1e6);
    // Linear growth gives a ratio of about 4, quadratic about 16. The slack absorbs noise on
    // the tiny times; a quadratic scan of 1 MiB takes minutes, far beyond it.
    QVERIFY2(largeTime < 8 * smallTime + 50'000'000,
             qPrintable(QStringLiteral("%1 ns vs %2 ns").arg(largeTime).arg(smallTime)));
}

QTEST_GUILESS_MAIN(BoardPageTest)
#include "tst_boardpage.moc"
