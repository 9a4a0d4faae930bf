#pragma once

#include "HistoryTypes.h"

#include <QWidget>

// An entry's latency over time: Up results as a line (hourly medians where only summaries are
// kept), every other outcome as a mark at its time in its Status colour in a band below, a
// time axis with day labels and a latency axis in ms.
class LatencyChart : public QWidget
{
    Q_OBJECT

public:
    explicit LatencyChart(QWidget *parent = nullptr);

    // endMs: the right edge, normally now.
    void setTimeline(const EntryTimeline &timeline, qint64 endMs);

    QSize sizeHint() const override { return {720, 320}; }
    QSize minimumSizeHint() const override { return {360, 200}; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    struct Sample
    {
        qint64 atMs;
        int value; // latency of an Up sample, the code of a mark
        // A mark's height in the band: an hour's share of other outcomes, 1 for one result.
        double share = 1;
    };
    void drawLegend(QPainter &painter, int top);
    void drawTimeAxis(QPainter &painter, const QRect &plot, const QRect &band);
    void drawLatencyAxis(QPainter &painter, const QRect &plot, int maxMs);
    void drawLine(QPainter &painter, const QRect &plot, int maxMs);
    int xOf(qint64 atMs, const QRect &plot) const;

    QList<Sample> latencies;
    QList<Sample> marks;
    qint64 startMs = 0;
    qint64 endMs = 0;
    // Until the first timeline comes, an empty chart means nothing yet.
    bool loaded = false;
};
