#include "iolayout.h"

#include "appdir.h"
#include "config.h"
#include "svc.pb.h"
#include "utils.h"

#include <QDebug>
#include <QRegularExpression>

namespace {

QString fromUtf8(const std::string &text)
{
    return QString::fromUtf8(text.data(), int(text.size()));
}

// Names come from the Central server and go into paths as they stand; only those that would
// reach outside the layout directory are refused. Backslashes count as separators too, since the
// same names are used by sites on Windows.
bool staysInside(const QString &name)
{
    const QString path = QString(name).replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (path.startsWith(QLatin1Char('/')))
        return false;
    static const QRegularExpression drive(QStringLiteral("^[A-Za-z]:"));
    if (drive.match(path).hasMatch())
        return false;
    return !path.split(QLatin1Char('/')).contains(QStringLiteral(".."));
}

} // namespace

void generateIoLayout(const CommandRequest &command)
{
    if (command.str_rs_size() != 2) {
        qDebug() << QStringLiteral("Incorrect parameter of GENERATE_IO cmd");
        return;
    }
    const int ioId = fromUtf8(command.str_rs(0)).toInt(nullptr, 10);
    const QString page = fromUtf8(command.str_rs(1));

    const Config &config = Config::instance();
    const auto io = config.ios.constFind(ioId);
    if (io == config.ios.constEnd()) {
        qDebug() << QStringLiteral("GENERATE_IO - ioId invalid: %1").arg(ioId);
        return;
    }
    const auto dvr = config.dvrs.constFind(io->dvrId);
    if (dvr == config.dvrs.constEnd()) {
        qDebug() << QStringLiteral("GENERATE_IO - dvrId invalid: %1").arg(io->dvrId);
        return;
    }
    // The IO name is checked as the file name it becomes: ".." followed by ".html" stays inside.
    QString unsafe;
    if (!staysInside(dvr->name))
        unsafe = dvr->name;
    else if (!staysInside(io->name + QStringLiteral(".html")))
        unsafe = io->name;
    if (!unsafe.isNull()) {
        qDebug() << QStringLiteral("GENERATE_IO - name outside layout directory: %1").arg(unsafe);
        return;
    }

    const QString layoutDir = QStringLiteral("%1/%2").arg(applicationDirectory(), config.ioPath);
    const QString byId
        = QStringLiteral("%1/%2/%3.html").arg(layoutDir, dvr->name, QString::number(io->id));
    const QString byName = QStringLiteral("%1/%2/%3.html").arg(layoutDir, dvr->name, io->name);

    qDebug() << QStringLiteral("  Generating: %1").arg(byId);
    qDebug() << QStringLiteral("  Generating: %1").arg(byName);
    Utils::writeFile(byId, page);
    Utils::writeFile(byName, page);
}
