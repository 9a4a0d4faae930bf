#pragma once

#include "ResultStrip.h"

#include <QAbstractTableModel>
#include <QList>
#include <QStringList>

struct RecentHistory;

// The proxy list and each entry's last result: row i is entry i, always. Sorting and the
// filter live in ProxyTableFilter; results never need to know where a row is shown.
class ProxyTableModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column
    {
        HostColumn,
        PortColumn,
        StatusColumn,
        LatencyColumn,
        UptimeColumn,
        HistoryColumn,
        ColumnCount
    };
    // The History column's codes, oldest first, as a QByteArray.
    static constexpr int StripRole = Qt::UserRole;
    static constexpr int stripLength = ResultStrip::length;
    // Beside the tester's codes 0 to 5: a row no run has covered yet shows no colour; a row of
    // a run shows white until its result.
    static constexpr int notTested = -2;
    static constexpr int cleared = -1;

    using QAbstractTableModel::QAbstractTableModel;

    void setList(const QStringList &list);
    // One row holding only this text, in place of the list.
    void setFailure(const QString &line);
    bool isFailure() const { return failure; }

    // Returns +1 when the entry came back, -1 when it went down, 0 otherwise (a first result
    // changes nothing).
    int setResult(int entry, int code, int port, qint64 latencyMs);
    // A new run's entries go to an empty status on white: every entry, or those listed.
    void clearResults(const QList<int> &only = {});
    // The entry's last result was "Up", also while a new run has cleared it.
    bool isWorking(int entry) const;
    // host:port as another program takes it; an IPv6 host gets brackets.
    QString entryText(int entry) const;
    // The entries in the order a sort by the column gives; ties keep the list's order.
    QList<int> sortedEntries(int column, Qt::SortOrder order) const;

    // While shown, each result also goes to its entry's strip; hidden, both columns are empty.
    void setHistoryShown(bool shown);
    bool isHistoryShown() const { return historyShown; }
    // One for each entry of the list, in its order; ignored unless list is the one shown.
    void setHistory(const QStringList &list, const QList<RecentHistory> &history);
    void clearHistory();

    // The port a working proxy's status leaves out.
    int defaultPort = 3128;

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

private:
    // Eight bytes an entry: a long list's results must not cost more than its text.
    struct Result
    {
        qint8 code = notTested;
        // -1 no result yet in this list, 0 not working, 1 working.
        qint8 working = -1;
        quint16 port = 0;
        qint32 latencyMs = 0;
    };

    QString statusText(const Result &result) const;
    QString cellText(int entry, int column) const;

    QStringList entries;
    QList<Result> results;
    // Nine bytes an entry beside the results; uptime -1 for none.
    QList<ResultStrip> strips;
    QList<qint8> uptimes;
    bool historyShown = false;
    // Entries showing a result, so that clearing never walks the whole list.
    QList<int> withResult;
    // A run over the whole list has started since the list came: every row without a result
    // shows white, so that a run's start never visits every row of a long list.
    bool wholeListRun = false;
    bool failure = false;
    QString failureText;
};
