#pragma once

#include <QObject>
#include <QString>

class CliOutput;
class ProxyManager;

// proxymanager-cli history: each entry's recorded results over a period back from now, in one
// line per entry.
class HistoryCommand : public QObject
{
    Q_OBJECT

public:
    // format is text, csv or json; an empty entry stands for every one.
    HistoryCommand(ProxyManager &manager, const CliOutput &output, const QString &format,
                   qint64 periodMs, const QString &entry, QObject *parent = nullptr);

    void run();

private:
    ProxyManager &manager;
    const CliOutput &output;
    const QString format;
    const qint64 periodMs;
    const QString entry;
    bool ended = false;
};
