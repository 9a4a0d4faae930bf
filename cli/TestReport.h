#pragma once

#include <QList>
#include <QString>
#include <QStringList>

class SecretMask;

// One entry's test result as the command-line client prints it.
struct TestRecord
{
    QString entry;
    QString host;
    QString port;
    QString outcome;
    QString code;
    int ms = 0;
    QString detail;
    // A working entry's exit address, when one was asked for.
    QString exitIp;
};

// The results of a run, in list order, in the formats the client prints.
class TestReport
{
public:
    // The tester's result (host, port, status, ms, index and, for some, a text) of that entry;
    // the texts masked.
    static TestRecord recordOf(const QString &entry, const QStringList &result,
                               const SecretMask &mask);

    // exitIp: with the exit_ip field, before detail.
    static QString text(const QList<TestRecord> &records, bool exitIp = false);
    static QString csv(const QList<TestRecord> &records, bool exitIp = false);
    static QString json(const QList<TestRecord> &records, bool exitIp = false);
    // host:port of each working entry, one a line, for a scraper's proxy file.
    static QString working(const QList<TestRecord> &records);

    static const QStringList fieldNames;

    // Shared with the other reports: one CSV row with its fields quoted where they need it, and
    // rows as lines of columns padded to their widest field (the last column unpadded).
    static QString csvRow(const QStringList &fields);
    static QString aligned(const QList<QStringList> &rows);
};
