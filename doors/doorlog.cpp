#include "doorlog.h"

#include "doorjournal.h"

namespace DoorLog {

namespace {

const char Option[] = "--door-log";

void say(FILE *stream, const QString &line)
{
    const QByteArray text = line.toLocal8Bit() + '\n';
    std::fwrite(text.constData(), 1, size_t(text.size()), stream);
    std::fflush(stream);
}

} // namespace

bool isDoorLogCommand(const QStringList &arguments)
{
    return arguments.contains(QLatin1String(Option));
}

QString helpText()
{
    return QStringLiteral(
               "  --door-log [N]  List the newest N door commands (default %1) from doors.db.")
        .arg(DefaultCount);
}

int run(const QStringList &arguments, const QString &journalPath, FILE *output, FILE *errors)
{
    const int at = arguments.indexOf(QLatin1String(Option));
    int count = DefaultCount;
    const QString value = arguments.value(at + 1);
    if (!value.isEmpty() && !value.startsWith(QLatin1String("--"))) {
        bool ok = false;
        count = value.toInt(&ok);
        if (!ok || count <= 0) {
            say(errors, QStringLiteral("--door-log: %1 is not a number of entries").arg(value));
            return 2;
        }
    }
    DoorJournal journal(journalPath, QStringLiteral("door-log"));
    if (!journal.openExisting()) {
        say(output,
            QStringLiteral("No door commands recorded (%1 does not exist)").arg(journalPath));
        return 0;
    }
    const QList<DoorEntry> entries = journal.latest(count);
    for (int i = entries.size() - 1; i >= 0; --i)
        say(output, entries.at(i).listLine());
    return 0;
}

} // namespace DoorLog
