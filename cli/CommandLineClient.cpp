#include "CommandLineClient.h"

#include "AuthorizeCommand.h"
#include "ClientConfig.h"
#include "Credentials.h"
#include "ListCommand.h"
#include "MyIpCommand.h"
#include "SafeText.h"
#include "TestCommand.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QUrl>

using namespace Qt::StringLiterals;

namespace {

const auto exitStatusHelp =
    u"Exit status:\n"
    u"  0  done\n"
    u"  1  test found no working entry\n"
    u"  2  usage error, or unreadable config or credentials\n"
    u"  3  the service answered with an error or an unusable answer\n"
    u"  4  the service could not be reached (no response, time-out, TLS)\n"
    u"  5  an authorization round failed (list not read, or not stored)\n"_s;

const auto credentialsHelp =
    u"Credentials come from PROXYMANAGER_USER and PROXYMANAGER_PASSWORD, from --credentials FILE\n"
    u"(user name on the first line, password on the second; refused when other users can read\n"
    u"it, a check made on Unix only), or from a prompt when standard input is a terminal.\n"_s;

// An address the client can send requests to.
bool isServiceUrl(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    return url.isValid() && !url.host().isEmpty() &&
           (url.scheme() == u"http" || url.scheme() == u"https");
}

} // namespace

int CommandLineClient::start(const QStringList &arguments)
{
    const int status = parse(arguments);
    if (status >= 0)
        return status;
    if (command == u"list")
        (new ListCommand(manager, output, this))->run();
    else if (command == u"myip")
        (new MyIpCommand(manager, output, this))->run();
    else if (command == u"test")
        (new TestCommand(manager, output, format, workingOnly, parallel, this))->run();
    else
        (new AuthorizeCommand(manager, output, watch, intervalMs, this))->run();
    return -1;
}

int CommandLineClient::parse(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        u"Command-line client of the proxy service.\n\n"
        u"Commands:\n"
        u"  list       the account's proxies, one entry a line\n"
        u"  myip       the address the service sees\n"
        u"  test       test every proxy of the list; one record per entry, in list order\n"
        u"             (entry, host, port, outcome, code, ms, detail)\n"
        u"  authorize  add this machine's address to the authorized list when missing;\n"
        u"             with --watch, again every interval and at once when this\n"
        u"             machine's addresses change, until SIGTERM or SIGINT\n\n"_s %
        credentialsHelp % u'\n' % exitStatusHelp);
    const QCommandLineOption helpOption({u"h"_s, u"help"_s}, u"Show this help."_s);
    const QCommandLineOption configOption(
        u"config"_s, u"Configuration file (default: config.ini in the working directory)."_s,
        u"FILE"_s);
    const QCommandLineOption apiOption(u"api-url"_s, u"Address of the service's API."_s, u"URL"_s);
    const QCommandLineOption pingOption(u"ping-url"_s, u"Address of the ping page."_s, u"URL"_s);
    const QCommandLineOption credentialsOption(
        u"credentials"_s, u"File with the user name and password."_s, u"FILE"_s);
    const QCommandLineOption parallelOption(
        u"parallel"_s, u"test: entries tested at once, 1 to 64 (default: PARALLEL_TESTS)."_s,
        u"N"_s);
    const QCommandLineOption timeoutOption(
        u"timeout"_s, u"test: time-out of each test in milliseconds (default: 10000)."_s, u"MS"_s);
    const QCommandLineOption formatOption(
        u"format"_s, u"test: text, csv or json (default: text)."_s, u"FORMAT"_s, u"text"_s);
    const QCommandLineOption workingOption(
        u"working"_s, u"test: print only the working entries, as host:port lines."_s);
    const QCommandLineOption watchOption(u"watch"_s,
                                         u"authorize: repeat until SIGTERM or SIGINT."_s);
    const QCommandLineOption intervalOption(
        u"interval"_s, u"authorize --watch: seconds between rounds (default: 60)."_s, u"SECONDS"_s);
    parser.addOptions({helpOption, configOption, apiOption, pingOption, credentialsOption,
                       parallelOption, timeoutOption, formatOption, workingOption, watchOption,
                       intervalOption});
    parser.addPositionalArgument(u"command"_s, u"list, myip, test or authorize"_s);

    auto usage = [this](const QString &message) {
        output.error(message % u" (see --help)"_s);
        return int(CliOutput::UsageError);
    };
    if (!parser.parse(arguments))
        return usage(parser.errorText());
    if (parser.isSet(helpOption)) {
        CliOutput::out(parser.helpText());
        return CliOutput::Done;
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1)
        return usage(positional.isEmpty() ? u"no command given"_s : u"one command at a time"_s);
    command = positional.first();
    if (!QStringList{u"list"_s, u"myip"_s, u"test"_s, u"authorize"_s}.contains(command))
        return usage(u"unknown command: "_s % SafeText::singleLine(command, 40));
    const bool testing = command == u"test";
    for (const auto *option : {&parallelOption, &timeoutOption, &formatOption, &workingOption})
        if (parser.isSet(*option) && !testing)
            return usage(u"--"_s % option->names().constLast() % u" is an option of test"_s);
    if ((parser.isSet(watchOption) || parser.isSet(intervalOption)) && command != u"authorize")
        return usage(u"--watch and --interval are options of authorize"_s);
    if (parser.isSet(intervalOption) && !parser.isSet(watchOption))
        return usage(u"--interval goes with --watch"_s);

    const bool configNamed = parser.isSet(configOption);
    const QString configFile = configNamed ? parser.value(configOption) : u"config.ini"_s;
    if (configNamed && !QFileInfo(configFile).isReadable())
        return usage(u"cannot read the configuration file "_s % configFile);
    const ClientConfig config = ClientConfig::load(configFile);

    format = parser.value(formatOption);
    if (!QStringList{u"text"_s, u"csv"_s, u"json"_s}.contains(format))
        return usage(u"--format must be text, csv or json"_s);
    workingOnly = parser.isSet(workingOption);
    watch = parser.isSet(watchOption);
    parallel = config.parallelTests;
    bool ok = true;
    if (parser.isSet(parallelOption)) {
        parallel = parser.value(parallelOption).toInt(&ok);
        if (!ok || parallel < 1 || parallel > ClientConfig::maxParallelTests)
            return usage(u"--parallel must be a number from 1 to 64"_s);
    }
    if (parser.isSet(timeoutOption)) {
        manager.timeoutMs = parser.value(timeoutOption).toInt(&ok);
        if (!ok || manager.timeoutMs < 1)
            return usage(u"--timeout must be a positive number of milliseconds"_s);
    }
    if (parser.isSet(intervalOption)) {
        const double seconds = parser.value(intervalOption).toDouble(&ok);
        // Fractions are for trying it out; a day is plenty for the longest.
        if (!ok || seconds < 0.1 || seconds > 86400)
            return usage(u"--interval must be a number of seconds from 0.1 to 86400"_s);
        intervalMs = int(seconds * 1000);
    }

    manager.apiUrl = parser.isSet(apiOption) ? parser.value(apiOption) : config.apiUrl;
    manager.pingUrl = parser.isSet(pingOption) ? parser.value(pingOption) : config.pingUrl;
    if (manager.apiUrl.isEmpty())
        return usage(u"no API address: set API_URL in the configuration, or use --api-url"_s);
    if (!isServiceUrl(manager.apiUrl))
        return usage(u"the API address is not an http or https URL"_s);
    if (testing && manager.pingUrl.isEmpty())
        return usage(u"no ping page: set PING_URL in the configuration, or use --ping-url"_s);
    if (testing && !isServiceUrl(manager.pingUrl))
        return usage(u"the ping page's address is not an http or https URL"_s);

    const Credentials credentials = Credentials::obtain(parser.value(credentialsOption));
    if (!credentials.isValid()) {
        output.error(credentials.error);
        return CliOutput::UsageError;
    }
    output.setCredentials(credentials.user, credentials.password);
    manager.setCredentials(credentials.user, credentials.password);
    return -1;
}
