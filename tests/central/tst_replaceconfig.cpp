#include "appdir.h"
#include "logcapture.h"
#include "settings.h"
#include "svc.pb.h"
#include "systemdata.h"
#include "tempappdir.h"

#include <QtTest>

#include <unistd.h>

// Replacing the stored configuration with what the Central server sent.
class ReplaceConfigTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void channels_data();
    void channels();
    void failedInsertsSkipOnlyThemselves();
    void interruptedReplacementKeepsTheOldRows();

private:
    TempAppDir m_dir;
};

// Run in a child process: replaces the configuration and dies at the first failed insert, the
// way a power cut would stop it halfway.
static const char crashDirVariable[] = "VELTRA_REPLACE_CRASH_DIR";

static SystemData numberedDvrs(const QList<int> &ids)
{
    SystemData data;
    for (int id : ids) {
        DVR *dvr = data.add_dvrs();
        dvr->set_id(id);
        dvr->set_name(QStringLiteral("DVR %1").arg(id).toStdString());
    }
    return data;
}

static QList<int> storedDvrIds()
{
    QList<int> ids;
    for (const DVRInfo &dvr : Settings::instance().dvrs())
        ids << dvr.id;
    std::sort(ids.begin(), ids.end());
    return ids;
}

static void dieOnFailedInsert(QtMsgType, const QMessageLogContext &, const QString &msg)
{
    if (msg == QLatin1String("  Failed: "))
        _exit(3);
}

static int crashingChild(const QString &dir)
{
    setApplicationDirectory(dir);
    qInstallMessageHandler(dieOnFailedInsert);
    // 1 and 2 go in, the second 2 fails: by then the old rows are deleted in this connection.
    SystemData data = numberedDvrs({1, 2, 2, 4});
    Stream *stream = data.add_streams();
    stream->set_id(1);
    replaceConfiguration(data);
    return 0;
}

void ReplaceConfigTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_dir.makeCurrent();
    Settings::instance();
}

void ReplaceConfigTest::channels_data()
{
    QTest::addColumn<QString>("json");
    QTest::addColumn<QList<int>>("channels");
    QTest::newRow("strings") << "[\"1\",\"3\"]" << QList<int>{1, 3};
    QTest::newRow("numbers are not strings") << "[1,3]" << QList<int>{0, 0};
    QTest::newRow("mixed") << "[\"2\",true,\"x\",\"07\"]" << QList<int>{2, 0, 0, 7};
    QTest::newRow("empty text") << "" << QList<int>();
    QTest::newRow("empty array") << "[]" << QList<int>();
    QTest::newRow("object") << "{\"1\":\"1\"}" << QList<int>();
    QTest::newRow("not JSON") << "1,2" << QList<int>();
}

void ReplaceConfigTest::channels()
{
    QFETCH(QString, json);
    QFETCH(QList<int>, channels);
    QCOMPARE(decodeChannels(json.toStdString()), channels);
}

void ReplaceConfigTest::failedInsertsSkipOnlyThemselves()
{
    replaceConfiguration(numberedDvrs({50}));
    LogCapture log;
    replaceConfiguration(numberedDvrs({1, 2, 2, 3}));
    QCOMPARE(storedDvrIds(), QList<int>({1, 2, 3}));
    QCOMPARE(log.lines(),
             QStringList(
                 {"bool Settings::insertDVR(const DVRInfo&)", "  Failed: ", log.lines().value(2)}));
    QVERIFY(log.lines().value(2).contains(QLatin1String("UNIQUE")));
}

void ReplaceConfigTest::interruptedReplacementKeepsTheOldRows()
{
    replaceConfiguration(numberedDvrs({100, 101}));
    QCOMPARE(storedDvrIds(), QList<int>({100, 101}));

    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(crashDirVariable), m_dir.path());
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY(child.waitForFinished(30000));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 3);

    QCOMPARE(storedDvrIds(), QList<int>({100, 101}));
    QVERIFY(Settings::instance().streams().isEmpty());
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString crashDir = qEnvironmentVariable(crashDirVariable);
    if (!crashDir.isEmpty())
        return crashingChild(crashDir);
    ReplaceConfigTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_replaceconfig.moc"
