#include "TestRunLog.h"

#include "DebugLog.h"
#include "ProxyEntry.h"
#include "SafeText.h"

#include <utility>

using namespace Qt::StringLiterals;

TestRunLog::TestRunLog(DebugLog *log, QObject *parent) : QObject(parent), log(log) {}

void TestRunLog::runStarted(int count, bool custom)
{
    concurrency = count;
    customTarget = custom;
    // Started before a refreshed list arrived: the test in flight was dropped.
    if (std::exchange(lineOpen, false))
        log->append(u"not finished, a new run was started\n"_s);
}

QString TestRunLog::startText(const QString &host, const QString &port)
{
    return u"Testing proxy "_s % SafeText::singleLine(host) % u" on port "_s %
           SafeText::singleLine(port) % u"... "_s;
}

void TestRunLog::testStarted(const QString &host, const QString &port)
{
    if (concurrency > 1)
        return;
    log->append(startText(host, port));
    lineOpen = true;
}

bool TestRunLog::resultArrived(const QStringList &result, const QString &entry)
{
    const QString code = result.value(2);
    // The whole line at once when tests overlap; the entry as listed gives the same words as
    // its start signal.
    QString lineStart;
    if (code != u"5" && concurrency > 1) {
        const ProxyEntry parsed = ProxyEntry::parse(entry);
        lineStart = startText(parsed.host, parsed.portText);
    }
    lineOpen = false;
    QString text;
    if (code == u"0") {
        text = u"success! ("_s % result.value(3) % u"ms)"_s % exitAddressText(result) % u"\n"_s;
    } else if (code == u"1") {
        text =
            u"IP not authorized: "_s % result.value(5) % u" (please authorize and wait 1 min)\n"_s;
    } else if (code == u"2") {
        text = u"timeout\n"_s;
    } else if (code == u"3" && customTarget) {
        text = u"error: "_s % SafeText::singleLine(result.value(5)) % u"\n"_s;
    } else if (code == u"3") {
        text = u"error, please send full response to support:\n"_s % result.value(5) % u"\n"_s;
    } else if (code == u"4") {
        text = u"connection error: test failed even without a proxy\n"_s;
    } else if (code == u"5") {
        // The entry as listed (reported at once, so the list is still the one tested): host
        // and port alone would lose brackets and extra colons.
        text = u"Invalid entry "_s % SafeText::singleLine(entry) % u": "_s %
               SafeText::singleLine(result.value(5)) % u"\n"_s;
    } else {
        return false;
    }
    log->append(lineStart % text);
    return true;
}

// Present only while an exit address page is set.
QString TestRunLog::exitAddressText(const QStringList &result)
{
    if (result.size() < 6)
        return {};
    if (!result.at(5).isEmpty())
        return u", exit address "_s % result.at(5);
    return u", no exit address: "_s % SafeText::singleLine(result.value(6));
}

void TestRunLog::listReplaced()
{
    if (std::exchange(lineOpen, false))
        log->append(u"not finished, the list was refreshed\n"_s);
}
