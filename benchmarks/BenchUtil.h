#pragma once

#include <QList>
#include <QString>

#include <functional>

// Small measuring helpers shared by the benchmark programs.
namespace bench {

// Widgets need a platform; a benchmark must run without a display.
void useOffscreenPlatform();

double median(QList<double> values);
double worst(const QList<double> &values);

// Resident set size from /proc/self/status, in MB (10^6 bytes); -1 when unreadable.
double residentMB();
// User plus system CPU time of this process so far, in ms.
double cpuTimeMs();

// Waits in the event loop until done() holds or the deadline passes.
bool waitFor(const std::function<bool()> &done, int deadlineMs);

QString number(double value, int decimals = 1);
void printLine(const QString &line);

} // namespace bench
