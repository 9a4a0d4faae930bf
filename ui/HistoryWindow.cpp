#include "HistoryWindow.h"

#include "HistoryTypes.h"
#include "LatencyChart.h"
#include "ProxyManager.h"
#include "SafeText.h"

#include <QDateTime>
#include <QLabel>
#include <QLocale>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace {

QString percent(int value)
{
    return value >= 0 ? QString::number(value) % u'%' : u"\u2014"_s;
}

QLabel *plainLabel(QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    return label;
}

} // namespace

HistoryWindow::HistoryWindow(ProxyManager *manager, const QString &entry, QWidget *owner)
    : QWidget(owner, Qt::Window), manager(manager), entry(entry)
{
    setAttribute(Qt::WA_DeleteOnClose);
    const QString shown = SafeText::singleLine(entry, 100);
    setWindowTitle(tr("History of %1").arg(shown));
    auto *layout = new QVBoxLayout(this);
    QLabel *heading = plainLabel(this);
    heading->setObjectName(u"entry"_s);
    heading->setText(shown);
    QFont bold = heading->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.2);
    heading->setFont(bold);
    uptime = plainLabel(this);
    uptime->setObjectName(u"uptime"_s);
    uptime->setToolTip(tr("Up as a share of the results Up, Access Denied, Timeout and Error. "
                          "Connection Error (this computer's line was down) and Invalid entry "
                          "do not count."));
    note = plainLabel(this);
    note->setObjectName(u"note"_s);
    note->setWordWrap(true);
    chart = new LatencyChart(this);
    chart->setObjectName(u"chart"_s);
    layout->addWidget(heading);
    layout->addWidget(uptime);
    layout->addWidget(chart, 1);
    layout->addWidget(note);
    resize(760, 500);
    connect(manager, &ProxyManager::timelineReady, this, [this](const EntryTimeline &timeline) {
        if (timeline.entry == this->entry)
            showTimeline(timeline);
    });
    refresh();
}

void HistoryWindow::refresh()
{
    uptime->setText(tr("Reading the history..."));
    manager->requestTimeline(entry);
}

void HistoryWindow::showTimeline(const EntryTimeline &timeline)
{
    uptime->setText(tr("Uptime:   last 24 hours %1   last 7 days %2   last 30 days %3")
                        .arg(percent(timeline.uptime24h), percent(timeline.uptime7d),
                             percent(timeline.uptime30d)));
    chart->setTimeline(timeline, QDateTime::currentMSecsSinceEpoch());
    const auto count = timeline.points.size();
    QString text =
        count == 1 ? tr("1 result kept one by one") : tr("%1 results kept one by one").arg(count);
    if (!timeline.hours.isEmpty()) {
        const QDateTime until = QDateTime::fromMSecsSinceEpoch(
            timeline.points.isEmpty() ? timeline.hours.constLast().startMs + 3600 * 1000
                                      : timeline.points.constFirst().atMs);
        text += tr("; before %1 only hourly summaries are kept: the line shows their median "
                   "latency, an estimate")
                    .arg(QLocale().toString(until, u"d MMM yyyy, HH:mm"_s));
    }
    note->setText(text % u'.');
}
