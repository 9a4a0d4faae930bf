#pragma once

#include "HistoryWriter.h"

#include <QStringList>

// Made-up results written straight into a history file: each entry re-tested every period for
// the days given, up to now. Entries differ: most work with their own typical latency, some
// time out now and then, some drop every evening.
class SyntheticHistory
{
public:
    QString file;
    HistoryAccount account;
    QString target;
    QStringList entries;
    int days = 30;
    qint64 periodMs = 5 * 60 * 1000;
    quint32 seed = 1;

    // The number of results written; -1 when the history could not be written.
    qint64 generate() const;
};
