#pragma once

#include <QString>
#include <QStringList>

// A test run inside this process, for the figures only the process itself can take: the
// longest event-loop block and the idle state before the run. Prints one line per fact for
// the parent: "IDLE MB threads fds", "START monotonic-ns", "R host:port code ms" per result,
// "WALL ms", "BLOCK longest-ms start-call-ms longest-after-the-call-ms", "ERR text".
namespace InProcessRun {

// The tester alone, as the command-line client drives it.
int manager(const QStringList &entries, const QString &pingUrl, int concurrency, int timeoutMs);
// The real windows: login through the service, then "Test proxies" with the spin box at N.
int window(const QString &apiUrl, const QString &pingUrl, int entries, int concurrency,
           int timeoutMs);

} // namespace InProcessRun
