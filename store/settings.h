#pragma once

#include "records.h"

#include <QHash>
#include <QSqlDatabase>
#include <QString>

// The process-wide store of settings.db (the site configuration pushed by the Central server)
// and settings.ini (the service's own connection settings), both in the application directory.
class Settings
{
public:
    static Settings &instance();

    // Opens (creating when missing) the two files in dir on Qt's default database connection.
    // Only one Settings may exist at a time; instance() is the one the service uses.
    explicit Settings(const QString &dir);
    ~Settings();
    Settings(const Settings &) = delete;
    Settings &operator=(const Settings &) = delete;

    bool createTables();

    bool insertDVR(const DVRInfo &dvr);
    bool insertStream(const StreamInfo &stream);
    bool insertIO(const IOInfo &io);
    bool insertDoor(const DoorInfo &door);

    QList<DVRInfo> dvrs();
    QList<StreamInfo> streams();
    QList<IOInfo> ios();
    QList<DoorInfo> doors();

    void cleanData();

    // Every INI key with the file's value, or its default when missing.
    QHash<QString, QString> iniValues();

    // Replacing the configuration runs inside one transaction, so an interrupted replacement
    // leaves the previous configuration in place.
    bool beginTransaction();
    bool commitTransaction();
    void rollbackTransaction();

    QString databasePath() const { return m_dbPath; }
    QString iniPath() const { return m_iniPath; }

private:
    QHash<QString, QString> iniDefaults() const;
    void restrictToOwner(const QString &path) const;

    QSqlDatabase m_db;
    QString m_dir;
    QString m_dbPath;
    QString m_iniPath;
};
