#pragma once

#include <QElapsedTimer>
#include <QString>

// The counts of the test run in progress and the status-bar texts made of them: counts and
// fixed words only, nothing a proxy or the service sent.
class RunProgress
{
public:
    // target: named in the texts when it is not the ping page.
    void start(int total, const QString &target = {});
    // A test went out.
    void testStarted();
    // A result came in, with its status code "0" to "5".
    void resultArrived(int code);

    // "Testing: 2 of 5: Up 1, Timeout 1 · about 1.5 s left", with the time left from the rate
    // so far, or from the tests still out and their time limit.
    QString progressText(qint64 timeoutMs) const;
    // "Tested 5 of 5: Up 4, Timeout 1 in 3.2 s"
    QString summaryText() const;

private:
    QString counts() const;
    static QString duration(qint64 ms);

    static constexpr int outcomeCount = 6;
    QString target;
    int total = 0;
    int done = 0;
    int inFlight = 0;
    int outcomes[outcomeCount] = {};
    QElapsedTimer clock;
    QElapsedTimer lastStart;
};
