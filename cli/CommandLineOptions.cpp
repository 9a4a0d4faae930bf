#include "CommandLineOptions.h"

#include "CliOutput.h"
#include "ClientConfig.h"
#include "IpAddress.h"
#include "ProxyTester.h"
#include "SafeText.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QRegularExpression>

using namespace Qt::StringLiterals;

namespace {

const auto exitStatusHelp =
    u"Exit status:\n"
    u"  0  done\n"
    u"  1  test found no working entry\n"
    u"  2  usage error, or unreadable config or credentials\n"
    u"  3  the service answered with an error or an unusable answer\n"
    u"  4  the service could not be reached (no response, time-out, TLS)\n"
    u"  5  an authorization round failed (list not read, or not stored)\n"
    u"  6  history: the result history could not be read\n"
    u"Refused requests (removing this machine's address, remove without --yes when standard\n"
    u"input is not a terminal) end with 2.\n"_s;

const auto credentialsHelp =
    u"Credentials come from PROXYMANAGER_USER and PROXYMANAGER_PASSWORD, from --credentials FILE\n"
    u"(user name on the first line, password on the second; refused when other users can read\n"
    u"it, a check made on Unix only), or from a prompt when standard input is a terminal.\n"
    u"history needs the user name only (--user, PROXYMANAGER_USER, the file's first line or a\n"
    u"prompt) and never reads the password.\n"_s;

const auto historyHelp =
    u"  history    per entry, over --since, from the results test runs (of this client\n"
    u"             and of the desktop program) recorded in history.sqlite in the user's\n"
    u"             data folder: uptime, number of results, median and 95th-percentile\n"
    u"             latency, last outcome and its time; \"~\" marks latencies estimated\n"
    u"             from hourly summaries\n\n"_s;

} // namespace

int CommandLineOptions::usage(const QString &message)
{
    error = message % u" (see --help)"_s;
    return CliOutput::UsageError;
}

int CommandLineOptions::parse(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        u"Command-line client of the proxy service.\n\n"
        u"Commands:\n"
        u"  list       the account's proxies, one entry a line\n"
        u"  myip       the address the service sees\n"
        u"  test       test every proxy of the list; one record per entry, in list order\n"
        u"             (entry, host, port, outcome, code, ms, detail); each result is\n"
        u"             also recorded in the history, unless --no-record\n"
        u"  authorize  add this machine's address to the authorized list when missing;\n"
        u"             with --watch, again every interval and at once when this\n"
        u"             machine's addresses change, until SIGTERM or SIGINT\n"
        u"  authorized list|add|remove [ADDRESS...]\n"
        u"             the account's authorized addresses: read them, or read them and\n"
        u"             write them back with addresses (optionally with a /prefix) added\n"
        u"             or removed, this machine's address first when missing\n"_s %
        historyHelp % credentialsHelp % u'\n' % exitStatusHelp);
    const QCommandLineOption helpOption({u"h"_s, u"help"_s}, u"Show this help."_s);
    const QCommandLineOption configOption(
        u"config"_s, u"Configuration file (default: config.ini in the working directory)."_s,
        u"FILE"_s);
    const QCommandLineOption apiOption(u"api-url"_s, u"Address of the service's API."_s, u"URL"_s);
    const QCommandLineOption pingOption(u"ping-url"_s, u"Address of the ping page."_s, u"URL"_s);
    const QCommandLineOption credentialsOption(
        u"credentials"_s, u"File with the user name and password."_s, u"FILE"_s);
    const QCommandLineOption parallelOption(u"parallel"_s,
                                            u"test: entries tested at once, 1 to "_s %
                                                QString::number(ProxyTester::maxConcurrency) %
                                                u" (default: PARALLEL_TESTS)."_s,
                                            u"N"_s);
    const QCommandLineOption timeoutOption(
        u"timeout"_s, u"test: time-out of each test in milliseconds (default: 10000)."_s, u"MS"_s);
    const QCommandLineOption formatOption(u"format"_s,
                                          u"test, history: text, csv or json (default: text)."_s,
                                          u"FORMAT"_s, u"text"_s);
    const QCommandLineOption noRecordOption(u"no-record"_s,
                                            u"test: keep no history of this run's results."_s);
    const QCommandLineOption sinceOption(
        u"since"_s,
        u"history: the period back from now, a number and s, m, h, d or w, such as 30m or 7d,\n"
        u"at most 366d (default: 24h)."_s,
        u"DURATION"_s);
    const QCommandLineOption entryOption(u"entry"_s, u"history: this entry only."_s,
                                         u"HOST:PORT"_s);
    const QCommandLineOption userOption(
        u"user"_s, u"history: the account's user name; no password is needed."_s, u"NAME"_s);
    const QCommandLineOption workingOption(
        u"working"_s, u"test: print only the working entries, as host:port lines."_s);
    const QCommandLineOption targetOption(
        u"target"_s,
        u"test: fetch this http or https address through each proxy instead of\n"
        u"the ping page; history: the results had against it."_s,
        u"URL"_s);
    const QCommandLineOption expectOption(
        u"expect"_s, u"test --target: the page must contain this text (case-sensitive)."_s,
        u"TEXT"_s);
    const QCommandLineOption exitIpOption(
        u"exit-ip"_s,
        u"test: ask this page, which answers the caller's address, through each\n"
        u"working proxy; adds exit_ip to the records."_s,
        u"URL"_s);
    const QCommandLineOption watchOption(u"watch"_s,
                                         u"authorize: repeat until SIGTERM or SIGINT."_s);
    const QCommandLineOption intervalOption(
        u"interval"_s, u"authorize --watch: seconds between rounds (default: 60)."_s, u"SECONDS"_s);
    const QCommandLineOption replaceOption(
        u"replace-previous"_s,
        u"authorize --watch: remove the address this client added last (of the same family)\n"
        u"when it adds a new one."_s);
    const QCommandLineOption stateOption(
        u"state"_s, u"--replace-previous: file remembering the added addresses."_s, u"FILE"_s);
    const QCommandLineOption yesOption(u"yes"_s, u"authorized remove: do not ask."_s);
    parser.addOptions({helpOption,        configOption,   apiOption,     pingOption,
                       credentialsOption, parallelOption, timeoutOption, formatOption,
                       workingOption,     noRecordOption, watchOption,   intervalOption,
                       replaceOption,     stateOption,    yesOption,     targetOption,
                       expectOption,      exitIpOption,   sinceOption,   entryOption,
                       userOption});
    parser.addPositionalArgument(u"command"_s,
                                 u"list, myip, test, authorize, authorized or history"_s);

    if (!parser.parse(arguments))
        return usage(parser.errorText());
    if (parser.isSet(helpOption)) {
        CliOutput::out(parser.helpText());
        return CliOutput::Done;
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return usage(u"no command given"_s);
    command = positional.first();
    if (!QStringList{u"list"_s, u"myip"_s, u"test"_s, u"authorize"_s, u"authorized"_s, u"history"_s}
             .contains(command))
        return usage(u"unknown command: "_s % SafeText::singleLine(command, 40));
    if (command == u"authorized") {
        if (const int status = parseListEdit(positional.mid(1)); status >= 0)
            return status;
    } else if (positional.size() != 1) {
        return usage(u"one command at a time"_s);
    }
    replacePrevious = parser.isSet(replaceOption);
    yes = parser.isSet(yesOption);
    watch = parser.isSet(watchOption);
    if (replacePrevious && !watch)
        return usage(u"--replace-previous goes with authorize --watch"_s);
    if (parser.isSet(stateOption) && !replacePrevious)
        return usage(u"--state goes with --replace-previous"_s);
    if (yes && (listEdit.isEmpty() || listEdit.first() != u"remove"))
        return usage(u"--yes is an option of authorized remove"_s);
    const bool testing = command == u"test";
    const bool history = command == u"history";
    for (const auto *option : {&parallelOption, &timeoutOption, &workingOption, &noRecordOption,
                               &expectOption, &exitIpOption})
        if (parser.isSet(*option) && !testing)
            return usage(u"--"_s % option->names().constLast() % u" is an option of test"_s);
    for (const auto *option : {&sinceOption, &entryOption, &userOption})
        if (parser.isSet(*option) && !history)
            return usage(u"--"_s % option->names().constLast() % u" is an option of history"_s);
    // A custom target's results are kept apart from the ping page's.
    for (const auto *option : {&formatOption, &targetOption})
        if (parser.isSet(*option) && !testing && !history)
            return usage(u"--"_s % option->names().constLast() %
                         u" is an option of test and history"_s);
    if ((watch || parser.isSet(intervalOption)) && command != u"authorize")
        return usage(u"--watch and --interval are options of authorize"_s);
    if (parser.isSet(intervalOption) && !watch)
        return usage(u"--interval goes with --watch"_s);

    configNamed = parser.isSet(configOption);
    configFile = configNamed ? parser.value(configOption) : u"config.ini"_s;
    if (configNamed && !QFileInfo(configFile).isReadable())
        return usage(u"cannot read the configuration file "_s % configFile);

    format = parser.value(formatOption);
    if (!QStringList{u"text"_s, u"csv"_s, u"json"_s}.contains(format))
        return usage(u"--format must be text, csv or json"_s);
    workingOnly = parser.isSet(workingOption);
    if (parser.isSet(expectOption) && !parser.isSet(targetOption))
        return usage(u"--expect goes with --target"_s);
    target = {parser.value(targetOption), parser.value(expectOption), parser.value(exitIpOption)};
    for (const auto &[option, url] :
         {std::pair{&targetOption, target.url}, std::pair{&exitIpOption, target.exitIpUrl}}) {
        const QString problem = parser.isSet(*option) ? TestTarget::problemOf(url) : QString();
        if (!problem.isEmpty())
            return usage(u"--"_s % option->names().constFirst() % u": "_s % problem);
    }
    bool ok = true;
    if (parser.isSet(parallelOption)) {
        // Past the bound means the bound, as in config.ini.
        static const QRegularExpression positive(u"^0*[1-9][0-9]*$"_s);
        const QString text = parser.value(parallelOption).trimmed();
        if (!positive.match(text).hasMatch())
            return usage(u"--parallel must be a number from 1 to "_s %
                         QString::number(ProxyTester::maxConcurrency));
        parallel = ClientConfig::parallelTestsFrom(text);
    }
    if (parser.isSet(timeoutOption)) {
        timeoutMs = parser.value(timeoutOption).toInt(&ok);
        if (!ok || timeoutMs < 1)
            return usage(u"--timeout must be a positive number of milliseconds"_s);
    }
    if (parser.isSet(intervalOption)) {
        const double seconds = parser.value(intervalOption).toDouble(&ok);
        // Fractions are for trying it out; a day is plenty for the longest.
        if (!ok || seconds < 0.1 || seconds > 86400)
            return usage(u"--interval must be a number of seconds from 0.1 to 86400"_s);
        intervalMs = int(seconds * 1000);
    }
    if (parser.isSet(sinceOption)) {
        periodMs = durationMs(parser.value(sinceOption));
        if (periodMs < 0)
            return usage(u"--since must be a number with s, m, h, d or w, such as 30m or 7d, "
                         u"at most 366d"_s);
    }
    entry = parser.value(entryOption);
    user = parser.value(userOption);
    if ((parser.isSet(entryOption) && entry.isEmpty()) ||
        (parser.isSet(userOption) && user.isEmpty()))
        return usage(u"--entry and --user need a value"_s);
    record = !parser.isSet(noRecordOption);
    const auto valueIfSet = [&parser](const QCommandLineOption &option) {
        return parser.isSet(option) ? std::optional(parser.value(option)) : std::nullopt;
    };
    apiUrl = valueIfSet(apiOption);
    pingUrl = valueIfSet(pingOption);
    stateFile = valueIfSet(stateOption);
    credentialsFile = parser.value(credentialsOption);
    return -1;
}

int CommandLineOptions::parseListEdit(const QStringList &arguments)
{
    listEdit = arguments;
    if (arguments.isEmpty() ||
        !QStringList{u"list"_s, u"add"_s, u"remove"_s}.contains(arguments.first()))
        return usage(u"authorized needs list, add or remove"_s);
    if ((arguments.first() == u"list") != (arguments.size() == 1))
        return usage(arguments.first() == u"list" ? u"authorized list takes no address"_s
                                                  : u"no address given"_s);
    for (const QString &address : arguments.mid(1)) {
        QHostAddress parsed;
        int prefix = -1;
        if (!IpAddress::parseWithPrefix(address, &parsed, &prefix))
            return usage(SafeText::singleLine(u"not an IPv4 or IPv6 address: "_s % address, 80));
    }
    return -1;
}

qint64 CommandLineOptions::durationMs(const QString &text)
{
    // A bare number is refused: minutes and hours are both likely readings of it.
    static const QRegularExpression form(u"^([0-9]{1,6})([smhdw])$"_s);
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return -1;
    static const QString units = u"smhdw"_s;
    static const qint64 unitMs[] = {1000, 60000, 3600000, 86400000, 7 * 86400000LL};
    const qint64 ms = match.captured(1).toLongLong() * unitMs[units.indexOf(match.captured(2))];
    return ms > 0 && ms <= 366 * unitMs[3] ? ms : -1;
}
