#include "CommandLineClient.h"

#include "ClientConfig.h"
#include "Credentials.h"
#include "SafeText.h"
#include "StopSignal.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QTimer>
#include <QUrl>

#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

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

void print(FILE *stream, const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

bool stderrIsTerminal()
{
#ifdef Q_OS_WIN
    return _isatty(_fileno(stderr));
#else
    return isatty(STDERR_FILENO);
#endif
}

// An address the client can send requests to.
bool isServiceUrl(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    return url.isValid() && !url.host().isEmpty() &&
           (url.scheme() == u"http" || url.scheme() == u"https");
}

} // namespace

CommandLineClient::CommandLineClient()
{
    connect(&manager, &ProxyManager::authorizationEnded, this, &CommandLineClient::roundEnded);
}

int CommandLineClient::start(const QStringList &arguments)
{
    const int status = parse(arguments);
    if (status >= 0)
        return status;
    if (command == u"list")
        runList();
    else if (command == u"myip")
        runMyIp();
    else if (command == u"test")
        runTest();
    else
        runAuthorize();
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
        u"             with --watch, again every interval until SIGTERM or SIGINT\n\n"_s %
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
        printError(message % u" (see --help)"_s);
        return int(UsageError);
    };
    if (!parser.parse(arguments))
        return usage(parser.errorText());
    if (parser.isSet(helpOption)) {
        print(stdout, parser.helpText());
        return Done;
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
        printError(credentials.error);
        return UsageError;
    }
    password = credentials.password;
    manager.setCredentials(credentials.user, credentials.password);
    return -1;
}

void CommandLineClient::runList()
{
    connect(&manager, &ProxyManager::listFailed, this, &CommandLineClient::failed);
    connect(&manager, &ProxyManager::finishedGetProxies, this, [this] {
        // A failure is followed by listFailed; a list that arrived always has an entry.
        if (manager.proxies.isEmpty())
            return;
        QString out;
        for (const QString &entry : std::as_const(manager.proxies))
            out += SafeText::singleLine(entry) % u'\n';
        print(stdout, out);
        finish(Done);
    });
    manager.requestProxies();
}

void CommandLineClient::runMyIp()
{
    // setCredentials() already asked.
    connect(&manager, &ProxyManager::myIpAnswered, this, [this](const QString &ip) {
        print(stdout, ip % u'\n');
        finish(Done);
    });
    connect(&manager, &ProxyManager::myIpFailed, this, &CommandLineClient::failed);
}

void CommandLineClient::runTest()
{
    showProgress = !workingOnly && stderrIsTerminal();
    connect(&manager, &ProxyManager::listFailed, this, &CommandLineClient::failed);
    connect(&manager, &ProxyManager::finishedTestingProxy, this, &CommandLineClient::testResult);
    connect(&manager, &ProxyManager::finishedTest, this, &CommandLineClient::testsDone);
    connect(&manager, &ProxyManager::finishedGetProxies, this, [this] {
        if (manager.proxies.isEmpty())
            return;
        records = QList<TestRecord>(manager.proxies.size());
        reported = QList<bool>(manager.proxies.size(), false);
        manager.testConcurrency = parallel;
        progress();
        manager.startTesting();
    });
    manager.requestProxies();
}

void CommandLineClient::testResult(const QStringList &result)
{
    bool ok = false;
    const int index = result.value(4).toInt(&ok);
    if (!ok || index < 0 || index >= reported.size() || reported.at(index))
        return;
    reported[index] = true;
    ++reportedCount;
    records[index] = TestReport::recordOf(manager.proxies.at(index), result);
    progress();
}

void CommandLineClient::progress()
{
    if (!showProgress)
        return;
    print(stderr, u"\rTested "_s % QString::number(reportedCount) % u" of "_s %
                      QString::number(records.size()) % u' ');
}

void CommandLineClient::testsDone()
{
    if (showProgress)
        print(stderr, u"\r"_s % QString(40, u' ') % u'\r');
    if (workingOnly)
        print(stdout, TestReport::working(records));
    else if (format == u"csv")
        print(stdout, TestReport::csv(records));
    else if (format == u"json")
        print(stdout, TestReport::json(records));
    else
        print(stdout, TestReport::text(records));
    const bool anyWorking = std::any_of(records.cbegin(), records.cend(),
                                        [](const TestRecord &r) { return r.code == u"0"; });
    finish(anyWorking ? Done : NoWorkingEntry);
}

void CommandLineClient::runAuthorize()
{
    connect(&manager, &ProxyManager::myIpFailed, this, [this](ProxyManager::FailureKind kind) {
        myIpFailedThisRound = true;
        myIpFailureKind = kind;
    });
    connect(&manager, &ProxyManager::myIpAnswered, this, [this] { myIpFailedThisRound = false; });
    if (watch) {
        watchTimer = new QTimer(this);
        watchTimer->setSingleShot(true);
        watchTimer->setInterval(intervalMs);
        connect(watchTimer, &QTimer::timeout, this, [this] {
            roundInFlight = true;
            manager.authorize();
        });
        auto *stop = new StopSignal(this);
        connect(stop, &StopSignal::stopRequested, this, [this] { finish(Done); });
    }
    roundInFlight = true;
    manager.authorize();
}

void CommandLineClient::roundEnded(ProxyManager::AuthorizationOutcome outcome,
                                   const QStringList &ips, const QString &failure)
{
    // Only the client's own rounds count.
    if (!roundInFlight)
        return;
    roundInFlight = false;
    using Outcome = ProxyManager::AuthorizationOutcome;
    if (!watch) {
        if (outcome == Outcome::Failed) {
            if (myIpFailedThisRound)
                failed(myIpFailureKind, failure);
            else {
                printError(u"authorization failed: "_s % failure);
                finish(AuthorizationFailed);
            }
            return;
        }
        QString out;
        for (const QString &ip : ips)
            out += SafeText::singleLine(ip) % u'\n';
        print(stdout, out);
        finish(Done);
        return;
    }

    if (outcome == Outcome::Failed) {
        printError(u"authorization failed: "_s % failure);
    } else {
        const QString ip = manager.myIp;
        const bool changed = !lastIp.isEmpty() && lastIp != ip;
        if (changed)
            print(stdout, u"address changed from "_s % lastIp % u" to "_s % ip %
                              (outcome == Outcome::Added ? u", authorized\n"_s
                                                         : u", already authorized\n"_s));
        else if (outcome == Outcome::Added)
            print(stdout, u"address "_s % ip % u" was not authorized, authorized\n"_s);
        lastIp = ip;
    }
    watchTimer->start();
}

int CommandLineClient::failed(ProxyManager::FailureKind kind, const QString &reason)
{
    printError(kind == ProxyManager::FailureKind::Unreachable
                   ? u"cannot reach the service: "_s % reason
                   : reason);
    const int status = kind == ProxyManager::FailureKind::Unreachable ? Unreachable : ServiceError;
    finish(status);
    return status;
}

void CommandLineClient::finish(int status)
{
    QCoreApplication::exit(status);
}

void CommandLineClient::printError(const QString &message) const
{
    QString line = SafeText::singleLine(message, 400);
    // The service's own error text could echo what it was sent.
    if (!password.isEmpty())
        line.replace(password, u"***"_s);
    print(stderr, u"proxymanager-cli: "_s % line % u'\n');
}
