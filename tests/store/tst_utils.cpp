#include "tempappdir.h"
#include "utils.h"

#include <QFileInfo>
#include <QtTest>

class UtilsTest : public QObject
{
    Q_OBJECT

private slots:
    void writesText_data();
    void writesText();
    void createsMissingDirectories();
    void unwritablePathIsSilent();
};

void UtilsTest::writesText_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("new file") << QString() << "<html></html>" << QByteArray("<html></html>");
    QTest::newRow("shorter replaces longer") << "a much longer earlier page"
                                             << "short" << QByteArray("short");
    QTest::newRow("utf-8 without bom") << QString() << QString::fromUtf8("Entrée ✓")
                                       << QByteArray("Entr\xc3\xa9"
                                                     "e \xe2\x9c\x93");
    QTest::newRow("line feeds kept") << QString() << "a\nb\n" << QByteArray("a\nb\n");
    QTest::newRow("empty empties") << "old content"
                                   << "" << QByteArray();
}

void UtilsTest::writesText()
{
    QFETCH(QString, before);
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);

    TempAppDir dir;
    const QString path = dir.filePath("page.html");
    if (!before.isNull())
        Utils::writeFile(path, before);
    Utils::writeFile(path, text);
    QVERIFY(QFileInfo::exists(path));
    QCOMPARE(readWholeFile(path), bytes);
}

void UtilsTest::createsMissingDirectories()
{
    TempAppDir dir;
    const QString path = dir.filePath("html/Lobby/12.html");
    Utils::writeFile(path, "page");
    QCOMPARE(readWholeFile(path), QByteArray("page"));
}

void UtilsTest::unwritablePathIsSilent()
{
    TempAppDir dir;
    // A directory standing where the file should be cannot be opened as a file.
    QVERIFY(QDir(dir.path()).mkpath("taken.html"));
    Utils::writeFile(dir.filePath("taken.html"), "page");
    QVERIFY(QFileInfo(dir.filePath("taken.html")).isDir());
}

QTEST_GUILESS_MAIN(UtilsTest)
#include "tst_utils.moc"
