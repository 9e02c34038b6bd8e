#pragma once

#include "doorentry.h"

#include <QList>
#include <QSqlDatabase>
#include <QString>

// Retention and file names of the door journal, in one place.
namespace DoorJournalLimits {
constexpr qint64 KeepMs = 400LL * 24 * 60 * 60 * 1000;
constexpr int KeepEntries = 100000;
// Pruning runs at open and then once every this many commands.
constexpr int PruneEvery = 100;
} // namespace DoorJournalLimits

// doors.db beside settings.db: every door command, with who asked, from where, and how it
// ended. It is written before anything is sent to the board, on a connection of its own, and
// never touched by configuration updates. A journal that cannot be written does not stop the
// door commands: the failure is logged and counted for the status pages, and the commands
// carry on with numbers kept in memory.
//
// Write-ahead logging with synchronous=NORMAL: a commit has reached the operating system when
// it returns, so it survives the process being killed; only a power cut can take the latest
// commits back, and no commit waits for the disk on the thread that relays the pictures.
class DoorJournal
{
public:
    // Commands left pending by a process that ended without knowing their result.
    static const char InterruptedReason[];

    explicit DoorJournal(const QString &path,
                         const QString &connectionName = QStringLiteral("doors"));
    ~DoorJournal();
    DoorJournal(const DoorJournal &) = delete;
    DoorJournal &operator=(const DoorJournal &) = delete;

    // Opens (creating when missing) the file. A file SQLite cannot read is moved aside as
    // <path>.corrupt with one log line, and a new one begins. Commands left pending by an
    // earlier process are closed as failed. False when even a new file cannot be opened.
    bool open();
    // Opens an existing file for reading only (--door-log); never creates or repairs one.
    bool openExisting();
    bool isOpen() const { return m_open; }
    QString path() const { return m_path; }

    // Records the command and gives it its number (entry->id). Also when the file cannot be
    // written: the number then comes from memory, and the failure is counted.
    void add(DoorEntry *entry);
    void setResult(const DoorEntry &entry);
    // Newest first; io < 0 for every IO.
    QList<DoorEntry> latest(int limit, int io = -1) const;
    void prune(qint64 nowMs);

    void setRetention(qint64 keepMs, int keepEntries);

    // For the status pages.
    quint64 writeFailures() const { return m_writeFailures; }
    QString lastError() const { return m_lastError; }
    qint64 lastErrorMs() const { return m_lastErrorMs; }

private:
    bool openFile();
    bool prepareSchema();
    void closeDatabase();
    void writeFailed(const QString &what, const QString &error);

    QString m_path;
    QString m_connectionName;
    QSqlDatabase m_db;
    bool m_open = false;
    qint64 m_lastId = 0;
    int m_addsSincePrune = 0;
    qint64 m_keepMs = DoorJournalLimits::KeepMs;
    int m_keepEntries = DoorJournalLimits::KeepEntries;
    quint64 m_writeFailures = 0;
    QString m_lastError;
    qint64 m_lastErrorMs = -1;
};
