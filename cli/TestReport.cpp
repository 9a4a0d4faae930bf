#include "TestReport.h"

#include "ProxyTester.h"
#include "SafeText.h"
#include "SecretMask.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

using namespace Qt::StringLiterals;

const QStringList TestReport::fieldNames{u"entry"_s, u"host"_s, u"port"_s,  u"outcome"_s,
                                         u"code"_s,  u"ms"_s,   u"detail"_s};

namespace {

QStringList fieldsOf(const TestRecord &record, bool exitIp)
{
    QStringList fields{record.entry,   record.host, record.port,
                       record.outcome, record.code, QString::number(record.ms)};
    if (exitIp)
        fields << record.exitIp;
    return fields << record.detail;
}

QStringList namesOf(bool exitIp)
{
    QStringList names = TestReport::fieldNames;
    if (exitIp)
        names.insert(names.size() - 1, u"exit_ip"_s);
    return names;
}

QString csvField(const QString &field)
{
    if (!field.contains(u',') && !field.contains(u'"') && !field.contains(u'\n') &&
        !field.contains(u'\r'))
        return field;
    return u'"' % QString(field).replace(u"\""_s, u"\"\""_s) % u'"';
}

} // namespace

TestRecord TestReport::recordOf(const QString &entry, const QStringList &result,
                                const SecretMask &mask)
{
    // The list and the proxies' pages are untrusted: one bounded line each, masked before the
    // cut.
    const auto line = [&mask](const QString &text) {
        return SafeText::singleLine(mask.masked(text));
    };
    TestRecord record;
    record.entry = line(entry);
    record.host = line(result.value(0));
    record.port = line(result.value(1));
    record.code = result.value(2);
    const int code = record.code.toInt();
    record.outcome = ProxyTester::outcomeName(code);
    record.ms = result.value(3).toInt();
    // An error page: its first line, which is often its status.
    // A working entry's exit address, and why there is none.
    if (code == 0 && result.size() > 5) {
        record.exitIp = result.at(5);
        record.detail = line(result.value(6));
        return record;
    }
    const QString extra = mask.masked(result.value(5));
    const QString firstLine = extra.trimmed().section(u'\n', 0, 0);
    record.detail = SafeText::singleLine(code == 3 ? firstLine : extra);
    return record;
}

QString TestReport::text(const QList<TestRecord> &records, bool exitIp)
{
    QList<QStringList> rows;
    for (const TestRecord &record : records)
        rows << fieldsOf(record, exitIp);
    return aligned(rows);
}

QString TestReport::csv(const QList<TestRecord> &records, bool exitIp)
{
    QString out = namesOf(exitIp).join(u',') % u'\n';
    for (const TestRecord &record : records)
        out += csvRow(fieldsOf(record, exitIp));
    return out;
}

QString TestReport::csvRow(const QStringList &fields)
{
    QStringList quoted = fields;
    std::transform(quoted.begin(), quoted.end(), quoted.begin(), csvField);
    return quoted.join(u',') % u'\n';
}

QString TestReport::aligned(const QList<QStringList> &rows)
{
    QList<qsizetype> widths;
    for (const QStringList &fields : rows) {
        widths.resize(std::max(widths.size(), fields.size() - 1), 0);
        for (qsizetype i = 0; i + 1 < fields.size(); ++i)
            widths[i] = std::max(widths[i], fields.at(i).size());
    }
    QString out;
    for (const QStringList &fields : rows) {
        QString line;
        for (qsizetype i = 0; i + 1 < fields.size(); ++i)
            line += fields.at(i).leftJustified(widths[i]) % u"  "_s;
        line += fields.last();
        out += line.trimmed() % u'\n';
    }
    return out;
}

QString TestReport::json(const QList<TestRecord> &records, bool exitIp)
{
    QJsonArray array;
    for (const TestRecord &record : records) {
        QJsonObject object{{u"entry"_s, record.entry},  {u"host"_s, record.host},
                           {u"port"_s, record.port},    {u"outcome"_s, record.outcome},
                           {u"code"_s, record.code},    {u"ms"_s, record.ms},
                           {u"detail"_s, record.detail}};
        if (exitIp)
            object.insert(u"exit_ip"_s, record.exitIp);
        array.append(object);
    }
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Indented));
}

QString TestReport::working(const QList<TestRecord> &records)
{
    QString out;
    for (const TestRecord &record : records) {
        if (record.code != u"0")
            continue;
        const QString host = record.host.contains(u':') ? u'[' % record.host % u']' : record.host;
        out += host % u':' % record.port % u'\n';
    }
    return out;
}
