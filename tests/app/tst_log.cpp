#include "log.h"
#include "tempappdir.h"

#include <QDebug>
#include <QFile>
#include <QThread>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

class LogTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void lineForms_data();
    void lineForms();
    void previousRunKeptAside_data();
    void previousRunKeptAside();
    void sizeLimit_data();
    void sizeLimit();
    void copyToJournal_data();
    void copyToJournal();
    void fileReplacedUnderneath_data();
    void fileReplacedUnderneath();
    void twoThreadsWriteWholeLines();
    void unwritableLocationDropsMessages();

private:
    QString freshLogPath();

    TempAppDir m_dir;
    int m_files = 0;
    QtMessageHandler m_previous = nullptr;
};

void LogTest::init()
{
    QVERIFY(m_dir.isValid());
    m_previous = qInstallMessageHandler(logMessageHandler);
}

void LogTest::cleanup()
{
    qInstallMessageHandler(m_previous);
    logFilePath.clear();
}

// Every test gets its own file, so each one starts with the handler's "first message" for it.
QString LogTest::freshLogPath()
{
    logFilePath = m_dir.filePath(QStringLiteral("Service%1.txt").arg(++m_files));
    return logFilePath;
}

void LogTest::lineForms_data()
{
    QTest::addColumn<int>("form");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("fixed text is bare") << 0 << QByteArray("Service started\n");
    QTest::newRow("filled message is quoted") << 1 << QByteArray("\"Starting X\"\n");
    QTest::newRow("quote and backslash escaped")
        << 2 << QByteArray("\"Loading a\\\"b\\\\c.so ... Ok\"\n");
    QTest::newRow("items separated by one space") << 3 << QByteArray("Backend:  \"foreground\"\n");
    QTest::newRow("list in debug form") << 4 << QByteArray("Args:  (\"svc\", \"-x\")\n");
    QTest::newRow("UTF-8") << 5 << QByteArray("T\xc3\xbcr \xe2\x86\x92 offen\n");
}

void LogTest::lineForms()
{
    QFETCH(int, form);
    QFETCH(QByteArray, expected);
    const QString path = freshLogPath();
    switch (form) {
    case 0:
        qDebug() << "Service started";
        break;
    case 1:
        qDebug() << QStringLiteral("Starting %1").arg(QStringLiteral("X"));
        break;
    case 2:
        qDebug() << QStringLiteral("Loading %1 ... Ok").arg(QStringLiteral("a\"b\\c.so"));
        break;
    case 3:
        qDebug() << "Backend: " << QStringLiteral("foreground");
        break;
    case 4:
        qDebug() << "Args: " << QStringList{QStringLiteral("svc"), QStringLiteral("-x")};
        break;
    case 5:
        qDebug() << "T\xc3\xbcr \xe2\x86\x92 offen";
        break;
    }
    QCOMPARE(readWholeFile(path), expected);
}

namespace {
void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), qint64(content.size()));
}
} // namespace

void LogTest::previousRunKeptAside_data()
{
    QTest::addColumn<bool>("hasLog");
    QTest::addColumn<QByteArray>("log");
    QTest::addColumn<bool>("hasOlder");
    QTest::addColumn<QByteArray>("expectedPrevious"); // empty: no Service.txt.1 afterwards

    const QByteArray run = "line of the previous run\n";
    const QByteArray older = "line of the run before\n";
    QTest::newRow("first run ever") << false << QByteArray() << false << QByteArray();
    QTest::newRow("previous run kept") << true << run << false << run;
    QTest::newRow("previous run replaces the older one") << true << run << true << run;
    QTest::newRow("empty log does not push the older one out")
        << true << QByteArray() << true << older;
    // A crash loop can leave a log just short of the limit: it is kept whole, not cut.
    QTest::newRow("oversized log of the previous run kept whole")
        << true << QByteArray(int(MaxLogFileSize) + 100, 'x') << true
        << QByteArray(int(MaxLogFileSize) + 100, 'x');
}

void LogTest::previousRunKeptAside()
{
    QFETCH(bool, hasLog);
    QFETCH(QByteArray, log);
    QFETCH(bool, hasOlder);
    QFETCH(QByteArray, expectedPrevious);
    const QString path = m_dir.filePath(QStringLiteral("Run%1.txt").arg(++m_files));
    const QString previous = path + QStringLiteral(".1");
    QCOMPARE(previousLogPath(path), previous);
    if (hasLog)
        writeFile(path, log);
    if (hasOlder)
        writeFile(previous, "line of the run before\n");

    logFilePath = path;
    qDebug() << "first";
    QCOMPARE(readWholeFile(path), QByteArray("first\n"));
    QCOMPARE(QFile::exists(previous), !expectedPrevious.isEmpty());
    if (!expectedPrevious.isEmpty())
        QCOMPARE(readWholeFile(previous), expectedPrevious);

    // Only the start of a run moves the log; the run's own lines follow in the new file.
    qDebug() << "second";
    QCOMPARE(readWholeFile(path), QByteArray("first\nsecond\n"));
    if (!expectedPrevious.isEmpty())
        QCOMPARE(readWholeFile(previous), expectedPrevious);
}

void LogTest::sizeLimit_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("discarded");
    QTest::newRow("one below the limit stays") << MaxLogFileSize - 1 << false;
    QTest::newRow("exactly the limit stays") << MaxLogFileSize << false;
    QTest::newRow("one above the limit is moved aside") << MaxLogFileSize + 1 << true;
}

void LogTest::sizeLimit()
{
    QFETCH(qint64, size);
    QFETCH(bool, discarded);
    const QString path = freshLogPath();
    const QString previous = previousLogPath(path);
    // What the start of this run kept must give way to the newer lines.
    writeFile(previous, "from an earlier run\n");

    // Grown through the handler itself, as the service grows it: one line of exactly `size`
    // bytes including its line feed.
    qDebug().noquote() << QString(int(size - 1), QLatin1Char('x'));
    QCOMPARE(QFileInfo(path).size(), size);

    // The size is checked before each line.
    qDebug() << "next";
    const QByteArray content = readWholeFile(path);
    if (discarded) {
        QCOMPARE(content, QByteArray("next\n"));
        const QByteArray full = readWholeFile(previous);
        QCOMPARE(full.size(), size);
        QVERIFY(full.endsWith("xx\n"));
        // Later lines must land in the new file, not in the one moved aside.
        qDebug() << "later";
        QCOMPARE(readWholeFile(path), QByteArray("next\nlater\n"));
        QCOMPARE(readWholeFile(previous).size(), size);
    } else {
        QCOMPARE(content.size(), size + 5);
        QVERIFY(content.endsWith("x\nnext\n"));
        QCOMPARE(readWholeFile(previous), QByteArray("from an earlier run\n"));
    }
}

void LogTest::copyToJournal_data()
{
    QTest::addColumn<QString>("journalStream"); // "self" names the standard error of the test
    QTest::addColumn<bool>("copied");
    QTest::newRow("systemd names our standard error") << "self" << true;
    QTest::newRow("console run") << QString() << false;
    // Inherited from a service's environment by something with its own standard error.
    QTest::newRow("names another stream") << "other" << false;
    QTest::newRow("device only") << "self-device" << false;
    QTest::newRow("not numbers") << "a:b" << false;
}

// Standard error is pointed at a file for the test, so whatever the handler sends there is seen.
void LogTest::copyToJournal()
{
    QFETCH(QString, journalStream);
    QFETCH(bool, copied);
    const QString errorPath = m_dir.filePath(QStringLiteral("stderr%1").arg(m_files + 1));
    const int errorFile
        = ::open(QFile::encodeName(errorPath).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    QVERIFY(errorFile >= 0);
    struct stat opened;
    QCOMPARE(::fstat(errorFile, &opened), 0);
    QString value = journalStream;
    if (journalStream == QLatin1String("self"))
        value = QStringLiteral("%1:%2").arg(opened.st_dev).arg(opened.st_ino);
    else if (journalStream == QLatin1String("other"))
        value = QStringLiteral("%1:%2").arg(opened.st_dev).arg(opened.st_ino + 1);
    else if (journalStream == QLatin1String("self-device"))
        value = QString::number(opened.st_dev);

    const int savedError = ::dup(STDERR_FILENO);
    QVERIFY(savedError >= 0);
    ::dup2(errorFile, STDERR_FILENO);
    ::close(errorFile);
    if (value.isEmpty())
        qunsetenv("JOURNAL_STREAM");
    else
        qputenv("JOURNAL_STREAM", value.toUtf8());

    const QString path = freshLogPath();
    qDebug() << "Service started";
    qDebug() << QStringLiteral("Starting %1").arg(QStringLiteral("X"));

    qunsetenv("JOURNAL_STREAM");
    ::dup2(savedError, STDERR_FILENO);
    ::close(savedError);

    const QByteArray expected = "Service started\n\"Starting X\"\n";
    QCOMPARE(readWholeFile(path), expected);
    QCOMPARE(readWholeFile(errorPath), copied ? expected : QByteArray());
}

void LogTest::fileReplacedUnderneath_data()
{
    QTest::addColumn<bool>("moved");
    QTest::addColumn<bool>("recreated");
    QTest::newRow("removed") << false << false;
    QTest::newRow("moved aside") << true << false;
    QTest::newRow("moved aside, new empty file in its place") << true << true;
}

// Whatever happened to Service.txt (an operator deleting it, a log rotation moving it), the lines
// that follow must be readable at its path, and the size limit must keep guarding that file.
void LogTest::fileReplacedUnderneath()
{
    QFETCH(bool, moved);
    QFETCH(bool, recreated);
    const QString path = freshLogPath();
    const QString aside = path + QStringLiteral(".1");
    qDebug() << "before";

    if (moved)
        QVERIFY(QFile::rename(path, aside));
    else
        QVERIFY(QFile::remove(path));
    if (recreated) {
        QFile fresh(path);
        QVERIFY(fresh.open(QIODevice::WriteOnly));
    }

    qDebug() << "after";
    QCOMPARE(readWholeFile(path), QByteArray("after\n"));
    if (moved)
        QCOMPARE(readWholeFile(aside), QByteArray("before\n"));
}

namespace {
class Writer : public QThread
{
public:
    Writer(char letter, int lines)
        : m_letter(letter)
        , m_lines(lines)
    { }

protected:
    void run() override
    {
        const QString body(300, QLatin1Char(m_letter));
        for (int i = 0; i < m_lines; ++i)
            qDebug().noquote() << body << i;
    }

private:
    char m_letter;
    int m_lines;
};
} // namespace

void LogTest::twoThreadsWriteWholeLines()
{
    const QString path = freshLogPath();
    constexpr int Lines = 2000;
    Writer a('a', Lines);
    Writer b('b', Lines);
    a.start();
    b.start();
    QVERIFY(a.wait(10000));
    QVERIFY(b.wait(10000));

    const QList<QByteArray> lines = readWholeFile(path).split('\n');
    QCOMPARE(lines.size(), 2 * Lines + 1);
    QVERIFY(lines.last().isEmpty());
    int next[2] = {0, 0};
    for (int i = 0; i < 2 * Lines; ++i) {
        const QByteArray &line = lines.at(i);
        const int writer = line.startsWith('a') ? 0 : 1;
        const QByteArray expected
            = QByteArray(300, writer == 0 ? 'a' : 'b') + ' ' + QByteArray::number(next[writer]++);
        QCOMPARE(line, expected);
    }
    QCOMPARE(next[0], Lines);
    QCOMPARE(next[1], Lines);
}

void LogTest::unwritableLocationDropsMessages()
{
    const QString missingDir = m_dir.filePath(QStringLiteral("missing/Service.txt"));
    logFilePath = missingDir;
    qDebug() << "nowhere to go";
    QVERIFY(!QFile::exists(missingDir));

    // A later path works again: a failed file does not poison the sink.
    const QString path = freshLogPath();
    qDebug() << "back";
    QCOMPARE(readWholeFile(path), QByteArray("back\n"));
}

QTEST_GUILESS_MAIN(LogTest)
#include "tst_log.moc"
