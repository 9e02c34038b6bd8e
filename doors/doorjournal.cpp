#include "doorjournal.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

const char *const SchemaStatements[] = {
    "CREATE TABLE IF NOT EXISTS commands (id INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT "
    "NULL, user TEXT, address TEXT, io INTEGER, ioName TEXT, doors TEXT, outputs TEXT, result "
    "TEXT NOT NULL, reason TEXT, resultTime INTEGER)",
    "CREATE INDEX IF NOT EXISTS commands_time ON commands(time)",
    "CREATE INDEX IF NOT EXISTS commands_io ON commands(io, id)",
};

QString doorsText(const QStringList &doors)
{
    return QString::fromUtf8(
        QJsonDocument(QJsonArray::fromStringList(doors)).toJson(QJsonDocument::Compact));
}

QStringList doorsFromText(const QString &text)
{
    QStringList doors;
    const QJsonArray array = QJsonDocument::fromJson(text.toUtf8()).array();
    for (const QJsonValue &value : array)
        doors.append(value.toString());
    return doors;
}

} // namespace

const char DoorJournal::InterruptedReason[] = "the service stopped before the result was known";

DoorJournal::DoorJournal(const QString &path, const QString &connectionName)
    : m_path(path)
    , m_connectionName(connectionName)
{ }

DoorJournal::~DoorJournal()
{
    closeDatabase();
}

void DoorJournal::setRetention(qint64 keepMs, int keepEntries)
{
    m_keepMs = keepMs;
    m_keepEntries = keepEntries;
}

void DoorJournal::closeDatabase()
{
    if (!m_db.isValid())
        return;
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connectionName);
    m_open = false;
}

bool DoorJournal::openFile()
{
    closeDatabase();
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
    m_db.setDatabaseName(m_path);
    // A reader (--door-log) holding the file a moment must not make a door command fail.
    m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=2000"));
    return m_db.open();
}

bool DoorJournal::prepareSchema()
{
    QSqlQuery query(m_db);
    // journal_mode answers with a row; a file that is no database fails here or at the check.
    if (!query.exec(QStringLiteral("PRAGMA journal_mode=WAL"))
        || !query.exec(QStringLiteral("PRAGMA synchronous=NORMAL")))
        return false;
    if (!query.exec(QStringLiteral("PRAGMA quick_check")) || !query.next()
        || query.value(0).toString() != QLatin1String("ok"))
        return false;
    for (const char *statement : SchemaStatements) {
        if (!query.exec(QString::fromLatin1(statement)))
            return false;
    }
    return true;
}

bool DoorJournal::open()
{
    const bool existed = QFileInfo::exists(m_path);
    if (!openFile() || !prepareSchema()) {
        const QString error = m_db.lastError().text();
        closeDatabase();
        if (!existed) {
            writeFailed(QStringLiteral("open"), error);
            return false;
        }
        const QString aside = m_path + QStringLiteral(".corrupt");
        QFile::remove(aside);
        QFile::rename(m_path, aside);
        QFile::remove(m_path + QStringLiteral("-wal"));
        QFile::remove(m_path + QStringLiteral("-shm"));
        qDebug() << QStringLiteral("Door journal %1 cannot be read (%2); moved aside as %3, a new "
                                   "one begins")
                        .arg(QFileInfo(m_path).fileName(), error, QFileInfo(aside).fileName());
        if (!openFile() || !prepareSchema()) {
            writeFailed(QStringLiteral("open"), m_db.lastError().text());
            closeDatabase();
            return false;
        }
    }
    m_open = true;

    QSqlQuery query(m_db);
    if (query.exec(QStringLiteral("SELECT MAX(id) FROM commands")) && query.next())
        m_lastId = qMax(m_lastId, query.value(0).toLongLong());
    query.prepare(QStringLiteral("UPDATE commands SET result = ?, reason = ?, resultTime = ? "
                                 "WHERE result = ?"));
    query.addBindValue(QLatin1String(DoorResult::Failed));
    query.addBindValue(QLatin1String(InterruptedReason));
    query.addBindValue(QDateTime::currentMSecsSinceEpoch());
    query.addBindValue(QLatin1String(DoorResult::Pending));
    if (!query.exec())
        writeFailed(QStringLiteral("close interrupted commands"), query.lastError().text());
    prune(QDateTime::currentMSecsSinceEpoch());
    return true;
}

bool DoorJournal::openExisting()
{
    if (!QFileInfo(m_path).isFile())
        return false;
    m_open = openFile();
    return m_open;
}

void DoorJournal::writeFailed(const QString &what, const QString &error)
{
    ++m_writeFailures;
    m_lastError = QStringLiteral("%1: %2").arg(what, error);
    m_lastErrorMs = QDateTime::currentMSecsSinceEpoch();
    qDebug() << QStringLiteral("Door journal %1 cannot be written (%2)")
                    .arg(QFileInfo(m_path).fileName(), m_lastError);
}

void DoorJournal::add(DoorEntry *entry)
{
    if (m_open) {
        QSqlQuery query(m_db);
        query.prepare(QStringLiteral(
            "INSERT INTO commands (id, time, user, address, io, ioName, doors, outputs, result, "
            "reason, resultTime) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
        query.addBindValue(m_lastId + 1);
        query.addBindValue(entry->timeMs);
        query.addBindValue(entry->user);
        query.addBindValue(entry->address);
        query.addBindValue(entry->io);
        query.addBindValue(entry->ioName);
        query.addBindValue(doorsText(entry->doors));
        query.addBindValue(QString::fromUtf8(DoorEntry::outputsText(entry->outputs)));
        query.addBindValue(entry->result);
        query.addBindValue(entry->reason);
        query.addBindValue(entry->resultTimeMs < 0 ? QVariant(QVariant::LongLong)
                                                   : QVariant(entry->resultTimeMs));
        if (!query.exec())
            writeFailed(QStringLiteral("add"), query.lastError().text());
    } else {
        writeFailed(QStringLiteral("add"), QStringLiteral("the journal is not open"));
    }
    entry->id = ++m_lastId;
    if (++m_addsSincePrune >= DoorJournalLimits::PruneEvery)
        prune(entry->timeMs);
}

void DoorJournal::setResult(const DoorEntry &entry)
{
    if (!m_open) {
        writeFailed(QStringLiteral("result"), QStringLiteral("the journal is not open"));
        return;
    }
    QSqlQuery query(m_db);
    query.prepare(
        QStringLiteral("UPDATE commands SET result = ?, reason = ?, resultTime = ? WHERE id = ?"));
    query.addBindValue(entry.result);
    query.addBindValue(entry.reason);
    query.addBindValue(entry.resultTimeMs);
    query.addBindValue(entry.id);
    if (!query.exec())
        writeFailed(QStringLiteral("result"), query.lastError().text());
}

QList<DoorEntry> DoorJournal::latest(int limit, int io) const
{
    QList<DoorEntry> entries;
    if (!m_open)
        return entries;
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT id, time, user, address, io, ioName, doors, outputs, "
                                 "result, reason, resultTime FROM commands %1 ORDER BY id DESC "
                                 "LIMIT ?")
                      .arg(io >= 0 ? QStringLiteral("WHERE io = ?") : QString()));
    if (io >= 0)
        query.addBindValue(io);
    query.addBindValue(limit);
    if (!query.exec())
        return entries;
    while (query.next()) {
        DoorEntry entry;
        entry.id = query.value(0).toLongLong();
        entry.timeMs = query.value(1).toLongLong();
        entry.user = query.value(2).toString();
        entry.address = query.value(3).toString();
        entry.io = query.value(4).toInt();
        entry.ioName = query.value(5).toString();
        entry.doors = doorsFromText(query.value(6).toString());
        entry.outputs = DoorEntry::outputsFromText(query.value(7).toString().toUtf8());
        entry.result = query.value(8).toString();
        entry.reason = query.value(9).toString();
        entry.resultTimeMs = query.value(10).isNull() ? -1 : query.value(10).toLongLong();
        entries.append(entry);
    }
    return entries;
}

void DoorJournal::prune(qint64 nowMs)
{
    m_addsSincePrune = 0;
    if (!m_open)
        return;
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("DELETE FROM commands WHERE time < ? OR id <= (SELECT id FROM "
                                 "commands ORDER BY id DESC LIMIT 1 OFFSET ?)"));
    query.addBindValue(nowMs - m_keepMs);
    query.addBindValue(m_keepEntries);
    if (!query.exec())
        writeFailed(QStringLiteral("prune"), query.lastError().text());
}
