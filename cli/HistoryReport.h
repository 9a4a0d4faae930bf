#pragma once

#include "HistoryTypes.h"

#include <QList>
#include <QString>
#include <QStringList>

// proxymanager-cli history's lines, one per entry, as text (local times, "~" before estimated
// latencies and a note below), CSV or JSON (UTC times, an estimated field).
class HistoryReport
{
public:
    // sinceMs: the start of the period, named when nothing was recorded since.
    static QString text(const QList<EntryReport> &report, qint64 sinceMs);
    static QString csv(const QList<EntryReport> &report);
    static QString json(const QList<EntryReport> &report);

    static const QStringList fieldNames;
};
