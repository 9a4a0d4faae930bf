#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

class QNetworkReply;

// Whether the user's own line works, asked once per run of a custom target, at its first
// unclear failure: the service's ping page fetched without a proxy. The target itself is never
// asked directly, as that request would come from the user's own address. Failures wait for
// the answer and then go out as errors, or as connection errors when the line is down.
class LineProbe : public QObject
{
    Q_OBJECT

public:
    enum class State
    {
        NotAsked,
        Waiting,
        LineUp,
        LineDown
    };

    explicit LineProbe(QObject *parent = nullptr);

    // A new run: forgets the answer and drops a probe still out.
    void reset();
    // A test result with status "3" and its reason: released at once when the line's state is
    // known, otherwise held, and the probe sent unless this run has asked already.
    void judge(const QStringList &result, const QString &pingUrl, int timeoutMs);
    State state() const { return current; }
    int heldCount() const { return int(held.size()); }

signals:
    // Each result judged, in the order they came.
    void released(const QStringList &result);

private:
    void settle(bool lineUp);
    static QStringList verdict(const QStringList &result, bool lineUp);

    QNetworkReply *reply = nullptr;
    QTimer deadline;
    State current = State::NotAsked;
    QList<QStringList> held;
};
