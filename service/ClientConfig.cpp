#include "ClientConfig.h"

#include "ProxyTester.h"

#include <QFileInfo>
#include <QSettings>

#include <algorithm>

using namespace Qt::StringLiterals;

ClientConfig ClientConfig::load(const QString &fileName)
{
    ClientConfig config;
    // QSettings would read a directory of that name as an empty file anyway; say nothing.
    if (!QFileInfo(fileName).isFile())
        return config;
    const QSettings settings(fileName, QSettings::IniFormat);
    // A value with an unquoted comma is a list in this format: toString() gives empty text.
    config.apiUrl = settings.value(u"API_URL"_s).toString();
    config.pingUrl = settings.value(u"PING_URL"_s).toString();
    config.titleText = settings.value(u"TITLE_TEXT"_s).toString();
    config.logoUrl = settings.value(u"LOGO_URL"_s).toString();
    config.parallelTests = parallelTestsFrom(settings.value(u"PARALLEL_TESTS"_s).toString());
    return config;
}

int ClientConfig::parallelTestsFrom(const QString &text)
{
    bool ok = false;
    const qlonglong value = text.trimmed().toLongLong(&ok);
    // A plain config, or one the user got wrong, keeps one test at a time.
    if (!ok && !text.trimmed().isEmpty()) {
        // Digits past what a number holds are still "many".
        const QString digits = text.trimmed();
        const bool allDigits = std::all_of(digits.begin(), digits.end(),
                                           [](QChar c) { return c >= u'0' && c <= u'9'; });
        return allDigits ? ProxyTester::maxConcurrency : 1;
    }
    if (!ok || value < 1)
        return 1;
    return int(qMin<qlonglong>(value, ProxyTester::maxConcurrency));
}
