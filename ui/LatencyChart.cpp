#include "LatencyChart.h"

#include "ProxyTester.h"
#include "StatusColours.h"

#include <QDateTime>
#include <QLocale>
#include <QMap>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

using namespace Qt::StringLiterals;

namespace {

constexpr qint64 hourMs = 3600 * 1000;
constexpr qint64 dayMs = 24 * hourMs;
// Up results further apart than this are not joined: the line would claim the time between.
constexpr qint64 maxJoinMs = 3 * hourMs;
constexpr int bandHeight = 14;
const QColor lineColour(30, 90, 200);
const QColor gridColour(225, 225, 225);

// A round step that gives at most about five ticks up to maxMs.
int tickStep(int maxMs)
{
    const double raw = std::max(1.0, maxMs / 5.0);
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (const double factor : {1.0, 2.0, 5.0, 10.0}) {
        if (factor * power >= raw)
            return int(factor * power);
    }
    return int(10 * power);
}

} // namespace

LatencyChart::LatencyChart(QWidget *parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void LatencyChart::setTimeline(const EntryTimeline &timeline, qint64 end)
{
    latencies.clear();
    marks.clear();
    for (const HistoryHour &hour : timeline.hours) {
        const qint64 middle = hour.startMs + hourMs / 2;
        if (hour.medianMs >= 0)
            latencies.append({middle, hour.medianMs});
        // One mark an hour, in the colour of its most frequent other outcome and as high as
        // their share: an hour that failed throughout stands out from one stray time-out.
        int worst = 0;
        int total = 0;
        for (int code = 0; code < int(hour.counts.size()); ++code) {
            total += hour.counts[code];
            if (code > 0 && hour.counts[code] > 0 &&
                (worst == 0 || hour.counts[code] > hour.counts[worst]))
                worst = code;
        }
        if (worst != 0)
            marks.append({middle, worst, double(total - hour.counts[0]) / total});
    }
    for (const HistoryPoint &point : timeline.points) {
        if (point.code == 0)
            latencies.append({point.atMs, int(point.latencyMs)});
        else if (point.code > 0 && point.code <= 5)
            marks.append({point.atMs, point.code});
    }
    const auto earlier = [](const Sample &a, const Sample &b) { return a.atMs < b.atMs; };
    std::sort(latencies.begin(), latencies.end(), earlier);
    std::sort(marks.begin(), marks.end(), earlier);
    loaded = true;
    endMs = end;
    startMs = end - dayMs;
    if (!latencies.isEmpty())
        startMs = std::min(startMs, latencies.first().atMs);
    if (!marks.isEmpty())
        startMs = std::min(startMs, marks.first().atMs);
    // A little room before the first sample, so it does not sit on the axis.
    startMs -= (endMs - startMs) / 50;
    update();
}

int LatencyChart::xOf(qint64 atMs, const QRect &plot) const
{
    const double share = double(atMs - startMs) / double(std::max<qint64>(1, endMs - startMs));
    return plot.left() + int(std::lround(share * plot.width()));
}

void LatencyChart::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), palette().base());
    painter.setPen(palette().text().color());
    const QFontMetrics metrics = fontMetrics();
    int maxMs = 0;
    for (const Sample &sample : std::as_const(latencies))
        maxMs = std::max(maxMs, sample.value);
    const int step = tickStep(std::max(maxMs, 10));
    const int axisMax = (std::max(maxMs, 10) / step + 1) * step;

    const int left = metrics.horizontalAdvance(QString::number(axisMax) % u" ms"_s) + 12;
    const int top = metrics.height() + 12;
    const int bottom = height() - 2 * metrics.height() - bandHeight - 10;
    const QRect plot(QPoint(left, top), QPoint(width() - 14, bottom));
    const QRect band(plot.left(), plot.bottom() + 4, plot.width(), bandHeight);
    drawLegend(painter, 4);
    if (!plot.isValid())
        return;
    drawLatencyAxis(painter, plot, axisMax);
    drawTimeAxis(painter, plot, band);
    painter.fillRect(band, QColor(242, 242, 242));
    for (const Sample &mark : std::as_const(marks)) {
        const int height = std::max(3, int(std::lround(mark.share * band.height())));
        painter.fillRect(QRect(xOf(mark.atMs, plot) - 1, band.bottom() + 1 - height, 2, height),
                         StatusColours::of(mark.value));
    }
    drawLine(painter, plot, axisMax);
    painter.setPen(palette().text().color());
    painter.drawLine(plot.bottomLeft(), plot.bottomRight());
    painter.drawLine(plot.bottomLeft(), plot.topLeft());
    if (loaded && latencies.isEmpty() && marks.isEmpty())
        painter.drawText(plot, Qt::AlignCenter, tr("No results recorded"));
}

void LatencyChart::drawLegend(QPainter &painter, int top)
{
    const QFontMetrics metrics = fontMetrics();
    const int middle = top + metrics.height() / 2;
    int x = 8;
    painter.setPen(QPen(lineColour, 2));
    painter.drawLine(x, middle, x + 16, middle);
    x += 22;
    painter.setPen(palette().text().color());
    const QString upText = tr("Latency when Up");
    painter.drawText(x, top + metrics.ascent(), upText);
    x += metrics.horizontalAdvance(upText) + 16;
    // Outcomes that share a colour share a swatch; named in the order of their codes.
    QList<bool> present(6, false);
    for (const Sample &mark : std::as_const(marks))
        present[mark.value] = true;
    QMap<QRgb, QStringList> names;
    for (int code = 1; code < present.size(); ++code) {
        if (present.at(code))
            names[StatusColours::of(code).rgb()].append(ProxyTester::outcomeName(code));
    }
    for (auto it = names.begin(); it != names.end(); ++it) {
        const QString text = it.value().join(u", "_s);
        painter.fillRect(QRect(x, middle - 5, 4, 10), QColor::fromRgb(it.key()));
        painter.drawText(x + 8, top + metrics.ascent(), text);
        x += 8 + metrics.horizontalAdvance(text) + 16;
    }
}

void LatencyChart::drawLatencyAxis(QPainter &painter, const QRect &plot, int maxMs)
{
    const int step = tickStep(maxMs - 1);
    const QFontMetrics metrics = fontMetrics();
    for (int ms = 0; ms <= maxMs; ms += step) {
        const int y = plot.bottom() - int(qint64(ms) * plot.height() / maxMs);
        painter.setPen(gridColour);
        painter.drawLine(plot.left(), y, plot.right(), y);
        painter.setPen(palette().text().color());
        const QString label = QString::number(ms) % u" ms"_s;
        painter.drawText(QRect(0, y - metrics.height() / 2, plot.left() - 6, metrics.height()),
                         Qt::AlignRight | Qt::AlignVCenter, label);
    }
}

void LatencyChart::drawTimeAxis(QPainter &painter, const QRect &plot, const QRect &band)
{
    const QFontMetrics metrics = fontMetrics();
    const int labelTop = band.bottom() + 4;
    const qint64 spanMs = std::max<qint64>(1, endMs - startMs);
    // Short spans get a line every six hours, long ones a label every few days.
    const qint64 stepMs = spanMs <= 2 * dayMs ? 6 * hourMs : dayMs;
    const int labelWidth = metrics.horizontalAdvance(u"Wed 30 "_s) + 8;
    const qint64 fitting = std::max<qint64>(1, plot.width() / labelWidth);
    const qint64 every = std::max<qint64>(1, (spanMs / stepMs + fitting - 1) / fitting);
    QDateTime at = QDateTime::fromMSecsSinceEpoch(startMs);
    at = QDateTime(at.date(), QTime(0, 0));
    qint64 index = 0;
    // By calendar days, so that midnight stays midnight across a change of summer time.
    const auto next = [stepMs](const QDateTime &from) {
        return stepMs == dayMs ? from.addDays(1) : from.addMSecs(stepMs);
    };
    for (; at.toMSecsSinceEpoch() <= endMs; at = next(at), ++index) {
        const qint64 ms = at.toMSecsSinceEpoch();
        if (ms < startMs)
            continue;
        const int x = xOf(ms, plot);
        const bool midnight = at.time().hour() == 0;
        painter.setPen(midnight ? QColor(200, 200, 200) : gridColour);
        painter.drawLine(x, plot.top(), x, plot.bottom());
        if (index % every != 0)
            continue;
        painter.setPen(palette().text().color());
        const QString label =
            midnight ? QLocale().toString(at, u"ddd d"_s) : at.time().toString(u"HH:mm"_s);
        painter.drawText(QRect(x - labelWidth / 2, labelTop, labelWidth, metrics.height()),
                         Qt::AlignCenter, label);
    }
}

void LatencyChart::drawLine(QPainter &painter, const QRect &plot, int maxMs)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setClipRect(plot.adjusted(0, -2, 1, 1));
    const auto pointOf = [&](const Sample &sample) {
        const int value = std::min(sample.value, maxMs);
        return QPointF(xOf(sample.atMs, plot),
                       plot.bottom() - double(value) * plot.height() / maxMs);
    };
    QPainterPath path;
    for (int i = 0; i < latencies.size(); ++i) {
        const bool joined = i > 0 && latencies.at(i).atMs - latencies.at(i - 1).atMs <= maxJoinMs;
        const bool joinsNext = i + 1 < latencies.size() &&
                               latencies.at(i + 1).atMs - latencies.at(i).atMs <= maxJoinMs;
        const QPointF point = pointOf(latencies.at(i));
        if (joined)
            path.lineTo(point);
        else
            path.moveTo(point);
        // A lone result would be an invisible line of no length.
        if (!joined && !joinsNext)
            path.addEllipse(point, 2, 2);
    }
    painter.setPen(QPen(lineColour, 1.5));
    painter.drawPath(path);
    painter.restore();
}
