#include "SyntheticHistory.h"

#include <QDateTime>
#include <QRandomGenerator>

#include <cmath>

using namespace Qt::StringLiterals;

qint64 SyntheticHistory::generate() const
{
    // Made-up results need no durability, and a big cache keeps the summary rows at hand.
    HistoryWriter writer(file, {}, {u"PRAGMA synchronous=OFF"_s, u"PRAGMA cache_size=-65536"_s});
    bool failed = false;
    QObject::connect(&writer, &HistoryWriter::problem, [&failed](const QString &line) {
        qWarning("%s", qPrintable(line));
        failed = true;
    });
    QRandomGenerator random(seed);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const qint64 start = now - qint64(days) * 24 * 3600 * 1000;
    struct Profile
    {
        double typicalMs;
        double timeoutShare;
        bool eveningDrops;
    };
    QList<Profile> profiles;
    for (int i = 0; i < entries.size(); ++i)
        profiles.append({60.0 + random.bounded(900), random.bounded(10) == 0 ? 0.2 : 0.01,
                         random.bounded(8) == 0});
    qint64 written = 0;
    QList<RecordedResult> batch;
    for (qint64 at = start; at < now && !failed; at += periodMs) {
        const int hour = QDateTime::fromMSecsSinceEpoch(at).time().hour();
        for (int i = 0; i < entries.size(); ++i) {
            const Profile &profile = profiles.at(i);
            int code = 0;
            qint64 latency = qint64(profile.typicalMs * std::exp(random.generateDouble() - 0.5));
            if (profile.eveningDrops && hour >= 19 && hour < 22)
                code = random.bounded(2) ? 2 : 3;
            else if (random.generateDouble() < profile.timeoutShare)
                code = 2;
            else if (random.bounded(200) == 0)
                code = random.bounded(2) ? 1 : 4;
            if (code == 2)
                latency = 10000;
            batch.append({account, target, entries.at(i), at + i, code, latency});
        }
        if (batch.size() >= 20000 || at + periodMs >= now) {
            writer.write(batch);
            written += batch.size();
            batch.clear();
        }
    }
    return failed ? -1 : written;
}
