#include "settings.h"

#include "appdir.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QHostInfo>
#include <QSettings>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

namespace {

const char *const createStatements[] = {
    "CREATE TABLE IF NOT EXISTS `dvrs`    (`id` INTEGER PRIMARY KEY, `name` VARCHAR, `ip` VARCHAR, "
    "`user` VARCHAR, `pass` VARCHAR)",
    "CREATE TABLE IF NOT EXISTS `streams` (`id` INTEGER PRIMARY KEY, `name` VARCHAR, `dvrId` "
    "INTEGER, `inPort` INTEGER, `outPort` INTEGER, `channels` VARCHAR, `type` INTEGER, FOREIGN "
    "KEY(dvrId) REFERENCES dvrs(id))",
    "CREATE TABLE IF NOT EXISTS `ios`     (`id` INTEGER PRIMARY KEY, `name` VARCHAR, `dvrId` "
    "INTEGER,  `state` INTEGER, `port` INTEGER, `enabled` INTEGER, `eventsEnabled` INTEGER, "
    "FOREIGN "
    "KEY(dvrId) REFERENCES dvrs(id))",
    "CREATE TABLE IF NOT EXISTS `ioDoors` (`id` INTEGER PRIMARY KEY, `name` VARCHAR, `ioId` "
    "INTEGER, `inPin` INTEGER, `outPin` INTEGER, `delay` INTEGER, `ncno` INTEGER, FOREIGN "
    "KEY(ioId) REFERENCES ios(id))",
};

const char *const deleteStatements[] = {
    "DELETE FROM `ioDoors`",
    "DELETE FROM `streams`",
    "DELETE FROM `ios`",
    "DELETE FROM `dvrs`",
};

// The keys in the order their defaults are written.
const char *const iniKeys[]
    = {"serverAddress", "serverSendPort", "serverRecvPort", "id", "eventPort", "ioPath",
       "ipcPort",       "Status/port",    "Status/address"};

const char notFound[] = "NOT_FOUND";

bool execInsert(QSqlQuery &query, const char *signature)
{
    if (query.exec())
        return true;
    qDebug() << signature;
    qDebug() << "  Failed: ";
    qDebug() << QStringLiteral("  %1").arg(query.lastError().text());
    return false;
}

// Runs a SELECT; on failure logs the reader's signature and the driver's error.
bool execSelect(QSqlQuery &query, const char *statement, const char *signature)
{
    if (query.prepare(QString::fromLatin1(statement)) && query.exec())
        return true;
    qDebug() << signature;
    qDebug() << QStringLiteral("  Failed: %1").arg(query.lastError().text());
    return false;
}

} // namespace

Settings &Settings::instance()
{
    static Settings settings(applicationDirectory());
    return settings;
}

Settings::Settings(const QString &dir)
    : m_dir(dir)
    , m_dbPath(QDir(dir).filePath(QStringLiteral("settings.db")))
    , m_iniPath(QDir(dir).filePath(QStringLiteral("settings.ini")))
{
    // The database holds DVR passwords: create it readable by its owner only, before SQLite
    // creates it with the process umask.
    if (!QFile::exists(m_dbPath)) {
        QFile file(m_dbPath);
        if (file.open(QIODevice::WriteOnly))
            file.close();
    }
    restrictToOwner(m_dbPath);

    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    m_db.setDatabaseName(m_dbPath);
    m_db.open();
    createTables();
}

Settings::~Settings()
{
    const QString connection = m_db.connectionName();
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(connection);
}

QHash<QString, QString> Settings::iniDefaults() const
{
    const QString id
        = QStringLiteral("%1_%2").arg(QHostInfo::localHostName(), QDir::home().dirName());
    return {
        {QStringLiteral("serverAddress"), QStringLiteral("127.0.0.1")},
        {QStringLiteral("serverSendPort"), QStringLiteral("5001")},
        {QStringLiteral("serverRecvPort"), QStringLiteral("5002")},
        {QStringLiteral("id"), id},
        {QStringLiteral("eventPort"), QStringLiteral("8087")},
        {QStringLiteral("ioPath"), QStringLiteral("html")},
        {QStringLiteral("ipcPort"), QStringLiteral("11223")},
        // The status port shows the site's state to whoever reaches it: private to this
        // computer unless an integrator opens it.
        {QStringLiteral("Status/port"), QStringLiteral("8089")},
        {QStringLiteral("Status/address"), QStringLiteral("127.0.0.1")},
    };
}

void Settings::restrictToOwner(const QString &path) const
{
#ifdef Q_OS_UNIX
    if (QFile::exists(path))
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
#else
    Q_UNUSED(path)
#endif
}

bool Settings::createTables()
{
    const QHash<QString, QString> defaults = iniDefaults();

    for (const char *statement : createStatements) {
        QSqlQuery query(m_db);
        if (!query.prepare(QString::fromLatin1(statement)) || !query.exec()) {
            qDebug() << "bool Settings::createTables()";
            qDebug() << "  Failed at:";
            qDebug() << QString::fromLatin1(statement);
            return false;
        }
    }

    const bool existed = QFile::exists(m_iniPath);
    QSettings ini(m_iniPath, QSettings::IniFormat);
    bool changed = false;
    for (const char *key : iniKeys) {
        const QString name = QString::fromLatin1(key);
        if (ini.value(name, QString::fromLatin1(notFound)).toString() != QLatin1String(notFound))
            continue;
        if (name == QLatin1String("ipcPort"))
            ini.setValue(name, 11223);
        else
            ini.setValue(name, defaults.value(name));
        changed = true;
    }
    ini.sync();
    if (changed && ini.status() != QSettings::NoError) {
        // A read-only installation still runs on the defaults; say why they were not kept.
        qDebug() << "bool Settings::createTables()";
        qDebug() << QStringLiteral("  Can't write %1").arg(QDir::toNativeSeparators(m_iniPath));
    }
    if (!existed)
        restrictToOwner(m_iniPath);
    return true;
}

bool Settings::insertDVR(const DVRInfo &dvr)
{
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("INSERT INTO `dvrs`(`id`, `name`, `ip`, `user`, `pass`) VALUES "
                                 "(:id, :name, :ip, :user, :pass)"));
    query.addBindValue(dvr.id);
    query.addBindValue(dvr.name);
    query.addBindValue(dvr.ip);
    query.addBindValue(dvr.user);
    query.addBindValue(dvr.pass);
    return execInsert(query, "bool Settings::insertDVR(const DVRInfo&)");
}

bool Settings::insertStream(const StreamInfo &stream)
{
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral(
        "INSERT INTO `streams`(`id`, `name`, `dvrId`, `inPort`, `outPort`, `channels`, `type`) "
        "VALUES (:id, :name, :dvrId, :inPort, :outPort, :channels, :type)"));
    query.addBindValue(stream.id);
    query.addBindValue(stream.name);
    query.addBindValue(stream.dvrId);
    query.addBindValue(stream.inPort);
    query.addBindValue(stream.outPort);
    query.addBindValue(channelsToText(stream.channels));
    query.addBindValue(stream.type);
    return execInsert(query, "bool Settings::insertStream(const StreamInfo&)");
}

bool Settings::insertIO(const IOInfo &io)
{
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral(
        "INSERT INTO `ios`(`id`, `name`, `dvrId`, `state`, `port`, `enabled`, `eventsEnabled`) "
        "VALUES (:id, :name, :dvrId, :state, :port, :enabled, :eventsEnabled)"));
    query.addBindValue(io.id);
    query.addBindValue(io.name);
    query.addBindValue(io.dvrId);
    query.addBindValue(io.state);
    query.addBindValue(io.port);
    query.addBindValue(io.enabled);
    query.addBindValue(io.eventsEnabled);
    return execInsert(query, "bool Settings::insertIO(const IOInfo&)");
}

bool Settings::insertDoor(const DoorInfo &door)
{
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral(
        "INSERT INTO `ioDoors`(`id`, `name`, `ioId`, `inPin`, `outPin`, `delay`, `ncno`) VALUES "
        "(:id, :name, :ioId, :inPin, :outPin, :delay, :ncno)"));
    query.addBindValue(door.id);
    query.addBindValue(door.name);
    query.addBindValue(door.ioId);
    query.addBindValue(door.inPin);
    query.addBindValue(door.outPin);
    query.addBindValue(door.delay);
    query.addBindValue(door.ncno);
    return execInsert(query, "bool Settings::insertDoor(const DoorInfo&)");
}

QList<DVRInfo> Settings::dvrs()
{
    QList<DVRInfo> result;
    QSqlQuery query(m_db);
    if (!execSelect(query, "SELECT * FROM `dvrs`", "QList<DVRInfo> Settings::dvrs()"))
        return result;
    const QSqlRecord rec = query.record();
    const int id = rec.indexOf(QStringLiteral("id"));
    const int name = rec.indexOf(QStringLiteral("name"));
    const int ip = rec.indexOf(QStringLiteral("ip"));
    const int user = rec.indexOf(QStringLiteral("user"));
    const int pass = rec.indexOf(QStringLiteral("pass"));
    while (query.next()) {
        DVRInfo dvr;
        dvr.id = query.value(id).toInt();
        dvr.name = query.value(name).toString();
        dvr.ip = query.value(ip).toString();
        dvr.user = query.value(user).toString();
        dvr.pass = query.value(pass).toString();
        result.append(dvr);
    }
    return result;
}

QList<StreamInfo> Settings::streams()
{
    QList<StreamInfo> result;
    QSqlQuery query(m_db);
    if (!execSelect(query, "SELECT * FROM `streams`", "QList<StreamInfo> Settings::streams()"))
        return result;
    const QSqlRecord rec = query.record();
    const int id = rec.indexOf(QStringLiteral("id"));
    const int name = rec.indexOf(QStringLiteral("name"));
    const int dvrId = rec.indexOf(QStringLiteral("dvrId"));
    const int inPort = rec.indexOf(QStringLiteral("inPort"));
    const int outPort = rec.indexOf(QStringLiteral("outPort"));
    const int channels = rec.indexOf(QStringLiteral("channels"));
    const int type = rec.indexOf(QStringLiteral("type"));
    while (query.next()) {
        StreamInfo stream;
        stream.id = query.value(id).toInt();
        stream.name = query.value(name).toString();
        stream.dvrId = query.value(dvrId).toInt();
        stream.inPort = query.value(inPort).toInt();
        stream.outPort = query.value(outPort).toInt();
        stream.channels = channelsFromText(query.value(channels).toString());
        decodeStreamType(query.value(type).toInt(), &stream.type, &stream.profile);
        result.append(stream);
    }
    return result;
}

QList<IOInfo> Settings::ios()
{
    QList<IOInfo> result;
    QSqlQuery query(m_db);
    if (!execSelect(query, "SELECT * FROM `ios`", "QList<IOInfo> Settings::ios()"))
        return result;
    const QSqlRecord rec = query.record();
    const int id = rec.indexOf(QStringLiteral("id"));
    const int name = rec.indexOf(QStringLiteral("name"));
    const int dvrId = rec.indexOf(QStringLiteral("dvrId"));
    const int state = rec.indexOf(QStringLiteral("state"));
    const int port = rec.indexOf(QStringLiteral("port"));
    const int enabled = rec.indexOf(QStringLiteral("enabled"));
    const int eventsEnabled = rec.indexOf(QStringLiteral("eventsEnabled"));
    while (query.next()) {
        IOInfo io;
        io.id = query.value(id).toInt();
        io.name = query.value(name).toString();
        io.dvrId = query.value(dvrId).toInt();
        io.state = query.value(state).toInt();
        io.port = query.value(port).toInt();
        io.enabled = query.value(enabled).toBool();
        io.eventsEnabled = query.value(eventsEnabled).toBool();
        result.append(io);
    }
    return result;
}

QList<DoorInfo> Settings::doors()
{
    QList<DoorInfo> result;
    QSqlQuery query(m_db);
    if (!execSelect(query, "SELECT * FROM `ioDoors`", "QList<DoorInfo> Settings::doors()"))
        return result;
    const QSqlRecord rec = query.record();
    const int id = rec.indexOf(QStringLiteral("id"));
    const int name = rec.indexOf(QStringLiteral("name"));
    const int ioId = rec.indexOf(QStringLiteral("ioId"));
    const int inPin = rec.indexOf(QStringLiteral("inPin"));
    const int outPin = rec.indexOf(QStringLiteral("outPin"));
    const int delay = rec.indexOf(QStringLiteral("delay"));
    const int ncno = rec.indexOf(QStringLiteral("ncno"));
    while (query.next()) {
        DoorInfo door;
        door.id = query.value(id).toInt();
        door.name = query.value(name).toString();
        door.ioId = query.value(ioId).toInt();
        door.inPin = query.value(inPin).toInt();
        door.outPin = query.value(outPin).toInt();
        door.delay = query.value(delay).toInt();
        door.ncno = query.value(ncno).toInt();
        result.append(door);
    }
    return result;
}

void Settings::cleanData()
{
    for (const char *statement : deleteStatements) {
        QSqlQuery query(m_db);
        if (!query.prepare(QString::fromLatin1(statement)) || !query.exec()) {
            qDebug() << "void Settings::cleanData()";
            qDebug() << "  Failed at:";
            qDebug() << QString::fromLatin1(statement);
        }
    }
}

QHash<QString, QString> Settings::iniValues()
{
    const QHash<QString, QString> defaults = iniDefaults();
    QSettings ini(m_iniPath, QSettings::IniFormat);
    QHash<QString, QString> values;
    for (const char *key : iniKeys) {
        const QString name = QString::fromLatin1(key);
        values.insert(name, ini.value(name, defaults.value(name)).toString());
    }
    return values;
}

bool Settings::beginTransaction()
{
    return m_db.transaction();
}

bool Settings::commitTransaction()
{
    return m_db.commit();
}

void Settings::rollbackTransaction()
{
    m_db.rollback();
}
