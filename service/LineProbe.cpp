#include "LineProbe.h"

#include "ProxyReply.h"
#include "ReplyBody.h"
#include "ReplyReader.h"
#include "TestTarget.h"

#include <QNetworkProxy>
#include <QNetworkReply>

#include <utility>

using namespace Qt::StringLiterals;

LineProbe::LineProbe(QObject *parent) : QObject(parent)
{
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, this, [this] { settle(false); });
}

void LineProbe::reset()
{
    deadline.stop();
    if (QNetworkReply *out = std::exchange(reply, nullptr)) {
        out->disconnect();
        ReplyReader::of(out)->disconnect(this);
        out->abort();
        out->deleteLater();
    }
    current = State::NotAsked;
    held.clear();
}

void LineProbe::judge(const QStringList &result, const QString &pingUrl, int timeoutMs)
{
    if (current == State::LineUp || current == State::LineDown)
        return emit released(verdict(result, current == State::LineUp));
    held.append(result);
    if (current == State::Waiting)
        return;
    current = State::Waiting;
    reply = new ProxyReply(TestTarget::probeRequest(pingUrl), QNetworkProxy::NoProxy, this);
    const ReplyReader *reader = ReplyReader::read(reply, {ReplyReader::Keep::Body, 1024, 0, 0});
    connect(reader, &ReplyReader::finished, this, [this] {
        settle(ReplyBody::latin1UpToNul(ReplyBody::readAll(reply)).trimmed() == u"1");
    });
    deadline.start(timeoutMs);
}

void LineProbe::settle(bool lineUp)
{
    if (current != State::Waiting)
        return;
    const QList<QStringList> waiting = std::exchange(held, {});
    reset();
    current = lineUp ? State::LineUp : State::LineDown;
    // A receiver may start a new run, which resets this.
    for (const QStringList &result : waiting) {
        if (current == State::NotAsked)
            return;
        emit released(verdict(result, lineUp));
    }
}

QStringList LineProbe::verdict(const QStringList &result, bool lineUp)
{
    // The user's own line is down: the proxy is not to blame, and its reason says nothing.
    return lineUp ? result : result.mid(0, 2) << u"4"_s << result.mid(3, 2);
}
