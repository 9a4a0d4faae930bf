#include "RunProgress.h"

#include "ProxyTester.h"

#include <QStringList>

#include <algorithm>

using namespace Qt::StringLiterals;

void RunProgress::start(int count, const QString &against)
{
    target = against;
    total = count;
    done = 0;
    inFlight = 0;
    std::fill(std::begin(outcomes), std::end(outcomes), 0);
    clock.start();
}

void RunProgress::testStarted()
{
    ++inFlight;
    lastStart.start();
}

void RunProgress::resultArrived(int code)
{
    if (code < 0 || code >= outcomeCount)
        return;
    ++done;
    ++outcomes[code];
    // An unusable entry is reported without a test going out.
    if (code != 5)
        inFlight = std::max(0, inFlight - 1);
}

QString RunProgress::counts() const
{
    QStringList parts;
    for (int outcome = 0; outcome < outcomeCount; ++outcome) {
        if (outcomes[outcome] > 0)
            parts << ProxyTester::outcomeName(outcome) % u' ' % QString::number(outcomes[outcome]);
    }
    return QString::number(done) % u" of "_s % QString::number(total) %
           (target.isEmpty() ? QString() : u" against "_s % target) %
           (parts.isEmpty() ? QString() : u": "_s % parts.join(u", "_s));
}

QString RunProgress::progressText(qint64 timeoutMs) const
{
    QString left = u"estimating the time left"_s;
    if (done + inFlight < total) {
        if (done > 0)
            left = u"about "_s % duration(clock.elapsed() * (total - done) / done) % u" left"_s;
    } else if (inFlight > 0) {
        // The rate of the quick ones says nothing about the last ones: slow or silent proxies
        // are what is left, and the newest of them times out last.
        const qint64 bound = std::max<qint64>(0, timeoutMs - lastStart.elapsed());
        left = u"waiting for the last "_s % QString::number(inFlight) % u", up to "_s %
               duration(bound) % u" left"_s;
    }
    return u"Testing: "_s % counts() % u" · "_s % left;
}

QString RunProgress::summaryText() const
{
    return u"Tested "_s % counts() % u" in "_s % duration(clock.elapsed());
}

QString RunProgress::duration(qint64 ms)
{
    if (ms < 60000)
        return QString::number(double(ms) / 1000, 'f', 1) % u" s"_s;
    const qint64 seconds = (ms + 500) / 1000;
    return QString::number(seconds / 60) % u" min "_s % QString::number(seconds % 60) % u" s"_s;
}
