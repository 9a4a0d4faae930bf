#include "ProxyTester.h"

#include <numeric>

#include "ExitAddressFetch.h"
#include "LineProbe.h"
#include "OutcomeText.h"
#include "ProxyEntry.h"
#include "ProxyReply.h"
#include "ReplyBody.h"
#include "ReplyReader.h"
#include "SafeText.h"
#include "TargetCheck.h"

#include <QNetworkProxy>
#include <QNetworkRequest>
#include <QTimer>
#include <QTimerEvent>

#include <algorithm>
#include <optional>
#include <utility>

using namespace Qt::StringLiterals;
using namespace ReplyBody;

namespace {

// Tests started or invalid entries reported in one pass of the event loop: hundreds of
// connections opened in one pass would hold the loop, and every one's clock would run while
// the others are opened.
constexpr int entriesPerPass = 32;

QNetworkProxy proxyAt(const QString &host, quint16 port)
{
    return QNetworkProxy(QNetworkProxy::HttpProxy, host, port);
}

} // namespace

// One test in flight: its request (timed by the reply's own clock), proxy and probe.
struct ProxyTester::Slot
{
    ProxyReply *reply = nullptr;
    // Set while a working proxy's exit address is asked, with a time-out of its own.
    ExitAddressFetch *exitFetch = nullptr;
    bool probing = false;
    int index = 0;
    QString host;
    quint16 port = 0;
    int elapsedMs = 0;
    QString probedBody;
};

ProxyTester::ProxyTester(QObject *parent) : QObject(parent), lineProbe(new LineProbe(this))
{
    connect(lineProbe, &LineProbe::released, this, &ProxyTester::emitResult);
}

QString ProxyTester::outcomeName(int code)
{
    return OutcomeText::name(code);
}

ProxyTester::~ProxyTester()
{
    abandon();
}

void ProxyTester::start(const QStringList &list, int wanted, const QList<int> &only)
{
    abandon();
    entries = list;
    order.clear();
    for (const int index : only) {
        if (index >= 0 && index < list.size())
            order.append(index);
    }
    if (only.isEmpty()) {
        order.resize(list.size());
        std::iota(order.begin(), order.end(), 0);
    }
    concurrency = std::clamp(wanted, 1, maxConcurrency);
    next = 0;
    peakInFlight = 0;
    stopRequested = false;
    dropping = false;
    running = true;
    fill();
}

void ProxyTester::stop()
{
    stopRequested = true;
}

void ProxyTester::dropResults()
{
    stopRequested = true;
    dropping = running;
}

// Sends tests until every slot is busy, reporting unusable entries at once without a slot;
// ends the run when nothing is left in flight.
void ProxyTester::fill()
{
    const quint64 run = runNumber;
    for (int passed = 0; running && !stopRequested && next < order.size() && inFlight < concurrency;
         ++passed) {
        if (passed == entriesPerPass) {
            continuePending = true;
            QTimer::singleShot(0, this, [this, run] {
                if (run != runNumber)
                    return;
                continuePending = false;
                fill();
            });
            return;
        }
        const int index = order.at(next++);
        const ProxyEntry entry = ProxyEntry::parse(entries.at(index));
        if (entry.isUsable()) {
            send(freeSlot(), index, entry.host, entry.port);
            emit startTestingProxy({entry.host, entry.portText});
        } else {
            emit finishedTestingProxy({SafeText::singleLine(entry.host),
                                       SafeText::singleLine(entry.portText), u"5"_s, u"0"_s,
                                       QString::number(index), entry.problem});
        }
        // A slot of the signal may have started another run.
        if (run != runNumber)
            return;
    }
    if (running && inFlight == 0 && !continuePending && (stopRequested || next >= order.size()))
        finish();
}

ProxyTester::Slot &ProxyTester::freeSlot()
{
    for (const auto &slot : testSlots) {
        if (!slot->reply && !slot->exitFetch)
            return *slot;
    }
    testSlots.push_back(std::make_unique<Slot>());
    return *testSlots.back();
}

void ProxyTester::send(Slot &slot, int index, const QString &host, quint16 port)
{
    slot.index = index;
    slot.host = host;
    slot.port = port;
    slot.probing = false;
    slot.reply = new ProxyReply(target.request(pingUrl), proxyAt(host, port), this);
    if (target.isPingPage()) {
        readPage(slot);
    } else {
        const TargetCheck *check = TargetCheck::read(slot.reply, target.expect);
        connect(check, &TargetCheck::finished, this, [this, &slot, check] { judge(slot, *check); });
    }
    peakInFlight = std::max(peakInFlight, ++inFlight);
    expireLater();
}

// Every request has the same time-out: a later one never comes due before the one waited for.
void ProxyTester::expireLater()
{
    if (expiryTimerId == 0)
        expiryTimerId = startTimer(timeoutMs, Qt::PreciseTimer);
}

// The page is handled once its reader is done: it ended, or was cut off at the bound.
void ProxyTester::readPage(Slot &slot)
{
    ProxyReply *reply = slot.reply;
    const ReplyReader *reader =
        ReplyReader::read(reply, {ReplyReader::Keep::Body, maxPingReplyBytes, 0, 0});
    connect(reader, &ReplyReader::finished, this,
            [this, &slot, reply] { handleReply(slot, reply); });
}

void ProxyTester::handleReply(Slot &slot, ProxyReply *reply)
{
    reply->deleteLater();
    // A late answer of an abandoned test is released unread.
    if (reply != slot.reply)
        return;
    slot.reply = nullptr;
    const QString body = latin1UpToNul(readAll(reply));
    if (slot.probing) {
        if (body.trimmed() == u"1")
            report(slot, u"3"_s, {slot.probedBody});
        else
            report(slot, u"4"_s);
        return;
    }

    // When the answer ended, not when its reader got to it.
    slot.elapsedMs = int(reply->finishedMs() >= 0 ? reply->finishedMs() : reply->elapsedMs());
    if (body.trimmed() == u"1")
        return up(slot);
    const QString message = OutcomeText::refusedAddress(body);
    // The proxy's page is untrusted: the address goes into one log line.
    if (!message.isEmpty())
        return report(slot, u"1"_s, {SafeText::singleLine(message)});
    slot.probedBody = body;
    sendProbe(slot);
}

// Whether the ping page answers without any proxy tells a broken proxy from a broken line.
void ProxyTester::sendProbe(Slot &slot)
{
    slot.reply = new ProxyReply(TestTarget::probeRequest(pingUrl), QNetworkProxy::NoProxy, this);
    readPage(slot);
    slot.probing = true;
    expireLater();
}

void ProxyTester::judge(Slot &slot, const TargetCheck &check)
{
    if (check.reply() != slot.reply)
        return;
    // The proxy's latency, not the transfer time of a big page.
    slot.elapsedMs = int(check.headersMs() >= 0 ? check.headersMs() : slot.reply->elapsedMs());
    slot.reply = nullptr;
    if (check.verdict() == TargetCheck::Verdict::Up)
        return up(slot);
    const QStringList result =
        resultOf(slot, check.verdict() == TargetCheck::Verdict::Denied ? u"1"_s : u"3"_s)
        << check.detail();
    if (check.verdict() == TargetCheck::Verdict::Unclear)
        return lineProbe->judge(result, pingUrl, timeoutMs);
    emitResult(result);
}

void ProxyTester::up(Slot &slot)
{
    if (target.exitIpUrl.isEmpty())
        return report(slot, u"0"_s);
    // Through the same proxy.
    slot.exitFetch = new ExitAddressFetch(proxyAt(slot.host, slot.port), target.exitIpUrl, this);
    connect(slot.exitFetch, &ExitAddressFetch::finished, this, [this, &slot](const QStringList &r) {
        std::exchange(slot.exitFetch, nullptr)->deleteLater();
        report(slot, u"0"_s, r);
    });
}

void ProxyTester::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != expiryTimerId)
        return;
    killTimer(std::exchange(expiryTimerId, 0));
    const quint64 run = runNumber;
    // By index: a slot of a result may start a run that adds slots.
    for (std::size_t i = 0; i < testSlots.size() && run == runNumber; ++i) {
        Slot &slot = *testSlots[i];
        if (!slot.reply || slot.reply->elapsedMs() < timeoutMs)
            continue;
        if (!slot.probing)
            slot.elapsedMs = int(slot.reply->elapsedMs());
        // Destroyed, not aborted: an abandoned reply must never reach the dispatcher.
        delete std::exchange(slot.reply, nullptr);
        report(slot, slot.probing ? u"4"_s : u"2"_s);
    }
    armExpiry();
}

// For the earliest time-out still to come; tests sent from a result above armed a later one.
void ProxyTester::armExpiry()
{
    if (expiryTimerId != 0)
        killTimer(std::exchange(expiryTimerId, 0));
    // A test can come due while the others are looked at: it is left no time, not forgotten.
    std::optional<qint64> earliest;
    for (const auto &slot : testSlots) {
        if (!slot->reply)
            continue;
        const qint64 left = timeoutMs - slot->reply->elapsedMs();
        earliest = std::min(earliest.value_or(left), left);
    }
    if (earliest)
        expiryTimerId = startTimer(int(std::max<qint64>(*earliest, 0)), Qt::PreciseTimer);
}

// The slot is free again when its result goes out.
void ProxyTester::report(Slot &slot, const QString &status, const QStringList &extra)
{
    emitResult(resultOf(slot, status) + extra);
}

QStringList ProxyTester::resultOf(const Slot &slot, const QString &status)
{
    return {slot.host, QString::number(slot.port), status, QString::number(slot.elapsedMs),
            QString::number(slot.index)};
}

void ProxyTester::emitResult(const QStringList &result)
{
    --inFlight;
    if (inFlight == 0 && expiryTimerId != 0)
        killTimer(std::exchange(expiryTimerId, 0));
    const quint64 run = runNumber;
    if (!dropping)
        emit finishedTestingProxy(result);
    if (run == runNumber)
        fill();
}

void ProxyTester::finish()
{
    running = false;
    stopRequested = true;
    emit finishedTest();
}

void ProxyTester::abandon()
{
    for (const auto &slot : testSlots) {
        delete std::exchange(slot->reply, nullptr);
        delete std::exchange(slot->exitFetch, nullptr);
    }
    lineProbe->reset();
    inFlight = 0;
    running = false;
    continuePending = false;
    ++runNumber;
    if (expiryTimerId != 0)
        killTimer(std::exchange(expiryTimerId, 0));
}
