#include "appdir.h"
#include "config.h"
#include "fakecentral.h"
#include "iolayout.h"
#include "logcapture.h"
#include "tempappdir.h"

#include <QDirIterator>
#include <QtTest>

// Layout pages land in <app dir>/<ioPath>/<DVR name>/ under the IO id and the IO name.
class IoLayoutTest : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void writesBothFiles();
    void rewriteWithShorterPage();
    void nameEqualToId();
    void refusals_data();
    void refusals();
    void oddNamesInsideTheDirectoryAreKept_data();
    void oddNamesInsideTheDirectoryAreKept();

private:
    void configure(const QString &dvrName, const QString &ioName, int dvrIdOfIo = 3);
    QStringList filesUnder(const QString &dir) const;

    TempAppDir *m_root = nullptr;
    QString m_appDir;
    LogCapture *m_log = nullptr;
};

void IoLayoutTest::init()
{
    // The application directory sits one level down, so that anything escaping it shows up.
    m_root = new TempAppDir;
    QVERIFY(m_root->isValid());
    m_appDir = m_root->filePath(QStringLiteral("app"));
    QVERIFY(QDir().mkpath(m_appDir));
    setApplicationDirectory(m_appDir);
    configure(QStringLiteral("Lobby"), QStringLiteral("Gate"));
    m_log = new LogCapture;
}

void IoLayoutTest::cleanup()
{
    delete m_log;
    delete m_root;
}

void IoLayoutTest::configure(const QString &dvrName, const QString &ioName, int dvrIdOfIo)
{
    Config &config = Config::instance();
    config.ioPath = QStringLiteral("html");
    config.dvrs.clear();
    config.ios.clear();
    DVRInfo dvr;
    dvr.id = 3;
    dvr.name = dvrName;
    config.dvrs.insert(dvr.id, dvr);
    IOInfo io;
    io.id = 12;
    io.name = ioName;
    io.dvrId = dvrIdOfIo;
    config.ios.insert(io.id, io);
}

QStringList IoLayoutTest::filesUnder(const QString &dir) const
{
    QStringList files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(dir).relativeFilePath(it.next());
    files.sort();
    return files;
}

void IoLayoutTest::writesBothFiles()
{
    const QString page = QStringLiteral("<p>Tür öffnen</p>\n<p>2</p>");
    generateIoLayout(CentralPackets::generateIo(QStringLiteral("12"), page));

    const QString byId = m_appDir + QStringLiteral("/html/Lobby/12.html");
    const QString byName = m_appDir + QStringLiteral("/html/Lobby/Gate.html");
    QCOMPARE(m_log->lines(),
             QStringList({QStringLiteral("\"  Generating: %1\"").arg(byId),
                          QStringLiteral("\"  Generating: %1\"").arg(byName)}));
    QCOMPARE(readWholeFile(byId), page.toUtf8());
    QCOMPARE(readWholeFile(byName), page.toUtf8());
    QCOMPARE(filesUnder(m_root->path()),
             QStringList({"app/html/Lobby/12.html", "app/html/Lobby/Gate.html"}));
}

void IoLayoutTest::rewriteWithShorterPage()
{
    generateIoLayout(
        CentralPackets::generateIo(QStringLiteral("12"), QStringLiteral("a long page")));
    generateIoLayout(CentralPackets::generateIo(QStringLiteral("12"), QStringLiteral("short")));
    QCOMPARE(readWholeFile(m_appDir + QStringLiteral("/html/Lobby/12.html")), QByteArray("short"));
    QCOMPARE(readWholeFile(m_appDir + QStringLiteral("/html/Lobby/Gate.html")),
             QByteArray("short"));
}

void IoLayoutTest::nameEqualToId()
{
    configure(QStringLiteral("Lobby"), QStringLiteral("12"));
    generateIoLayout(CentralPackets::generateIo(QStringLiteral("12"), QStringLiteral("page")));
    const QString path = m_appDir + QStringLiteral("/html/Lobby/12.html");
    QCOMPARE(m_log->count(QStringLiteral("\"  Generating: %1\"").arg(path)), 2);
    QCOMPARE(filesUnder(m_root->path()), QStringList({"app/html/Lobby/12.html"}));
    QCOMPARE(readWholeFile(path), QByteArray("page"));
}

void IoLayoutTest::refusals_data()
{
    QTest::addColumn<QStringList>("params");
    QTest::addColumn<QString>("dvrName");
    QTest::addColumn<QString>("ioName");
    QTest::addColumn<int>("dvrIdOfIo");
    QTest::addColumn<QString>("logged");
    const QString incorrect = QStringLiteral("\"Incorrect parameter of GENERATE_IO cmd\"");
    QTest::newRow("one parameter") << QStringList{"12"} << "Lobby"
                                   << "Gate" << 3 << incorrect;
    QTest::newRow("three parameters") << QStringList{"12", "page", "more"} << "Lobby"
                                      << "Gate" << 3 << incorrect;
    QTest::newRow("id not a number") << QStringList{"twelve", "page"} << "Lobby"
                                     << "Gate" << 3 << "\"GENERATE_IO - ioId invalid: 0\"";
    QTest::newRow("unknown IO") << QStringList{"77", "page"} << "Lobby"
                                << "Gate" << 3 << "\"GENERATE_IO - ioId invalid: 77\"";
    QTest::newRow("unknown DVR") << QStringList{"12", "page"} << "Lobby"
                                 << "Gate" << 5 << "\"GENERATE_IO - dvrId invalid: 5\"";
    const QString outside = QStringLiteral("\"GENERATE_IO - name outside layout directory: %1\"");
    QTest::newRow("DVR name ..") << QStringList{"12", "page"} << ".."
                                 << "Gate" << 3 << outside.arg("..");
    QTest::newRow("DVR name climbing") << QStringList{"12", "page"} << "../../x"
                                       << "Gate" << 3 << outside.arg("../../x");
    QTest::newRow("DVR name absolute") << QStringList{"12", "page"} << "/tmp/x"
                                       << "Gate" << 3 << outside.arg("/tmp/x");
    QTest::newRow("IO name climbing") << QStringList{"12", "page"} << "Lobby"
                                      << "../../../evil" << 3 << outside.arg("../../../evil");
    QTest::newRow("IO name climbing with backslashes")
        << QStringList{"12", "page"} << "Lobby"
        << "..\\..\\evil" << 3 << outside.arg("..\\\\..\\\\evil");
    QTest::newRow("IO name with a drive") << QStringList{"12", "page"} << "Lobby"
                                          << "C:/evil" << 3 << outside.arg("C:/evil");
}

void IoLayoutTest::refusals()
{
    QFETCH(QStringList, params);
    QFETCH(QString, dvrName);
    QFETCH(QString, ioName);
    QFETCH(int, dvrIdOfIo);
    QFETCH(QString, logged);
    configure(dvrName, ioName, dvrIdOfIo);
    CommandRequest command;
    command.set_type(GENERATE_IO);
    for (const QString &param : params)
        command.add_str_rs(param.toStdString());
    generateIoLayout(command);
    QCOMPARE(m_log->lines(), QStringList({logged}));
    QCOMPARE(filesUnder(m_root->path()), QStringList());
}

void IoLayoutTest::oddNamesInsideTheDirectoryAreKept_data()
{
    QTest::addColumn<QString>("dvrName");
    QTest::addColumn<QString>("ioName");
    QTest::addColumn<QStringList>("files");
    QTest::newRow("spaces and dots")
        << "Lobby East"
        << "Gate..2"
        << QStringList{"app/html/Lobby East/12.html", "app/html/Lobby East/Gate..2.html"};
    QTest::newRow("IO name ..") << "Lobby"
                                << ".."
                                << QStringList{"app/html/Lobby/...html", "app/html/Lobby/12.html"};
    QTest::newRow("sub-directory")
        << "Lobby"
        << "wing/Gate" << QStringList{"app/html/Lobby/12.html", "app/html/Lobby/wing/Gate.html"};
}

void IoLayoutTest::oddNamesInsideTheDirectoryAreKept()
{
    QFETCH(QString, dvrName);
    QFETCH(QString, ioName);
    QFETCH(QStringList, files);
    configure(dvrName, ioName);
    generateIoLayout(CentralPackets::generateIo(QStringLiteral("12"), QStringLiteral("page")));
    QCOMPARE(filesUnder(m_root->path()), files);
}

QTEST_GUILESS_MAIN(IoLayoutTest)
#include "tst_iolayout.moc"
