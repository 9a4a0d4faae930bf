#pragma once

#include <QWidget>

struct EntryTimeline;
class LatencyChart;
class ProxyManager;
class QLabel;

// One entry's history in a window of its own: its uptime over 24 hours, 7 days and 30 days,
// and its latency and failures over time. Closing it deletes it.
class HistoryWindow : public QWidget
{
    Q_OBJECT

public:
    // entry: as the list gives it; shown as plain text, one line.
    HistoryWindow(ProxyManager *manager, const QString &entry, QWidget *owner);

    // Asks for the entry's timeline again.
    void refresh();

private:
    void showTimeline(const EntryTimeline &timeline);

    ProxyManager *manager;
    QString entry;
    QLabel *uptime;
    QLabel *note;
    LatencyChart *chart;
};
