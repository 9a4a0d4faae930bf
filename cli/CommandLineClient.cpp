#include "CommandLineClient.h"

#include "AuthorizeCommand.h"
#include "AuthorizedCommand.h"
#include "ClientConfig.h"
#include "Credentials.h"
#include "HistoryCommand.h"
#include "ListCommand.h"
#include "MyIpCommand.h"
#include "TestCommand.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>

using namespace Qt::StringLiterals;

namespace {

// An address the client can send requests to.
bool isServiceUrl(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    return url.isValid() && !url.host().isEmpty() &&
           (url.scheme() == u"http" || url.scheme() == u"https");
}

} // namespace

CommandLineClient::~CommandLineClient()
{
    manager.closeHistory();
}

int CommandLineClient::start(const QStringList &arguments)
{
    const int status = prepare(arguments);
    if (status >= 0)
        return status;
    const QString &command = options.command;
    if (command == u"list")
        (new ListCommand(manager, output, this))->run();
    else if (command == u"myip")
        (new MyIpCommand(manager, output, this))->run();
    else if (command == u"test")
        (new TestCommand(manager, output, options.format, options.workingOnly, parallel,
                         !options.target.exitIpUrl.isEmpty(), this))
            ->run();
    else if (command == u"history")
        (new HistoryCommand(manager, output, options.format, options.periodMs, options.entry, this))
            ->run();
    else if (command == u"authorized")
        (new AuthorizedCommand(manager, output, options.listEdit.first(), options.listEdit.mid(1),
                               this))
            ->run();
    else
        (new AuthorizeCommand(manager, output, options.watch, options.intervalMs, this))->run();
    return -1;
}

int CommandLineClient::prepare(const QStringList &arguments)
{
    if (const int status = options.parse(arguments); status >= 0) {
        if (!options.error.isEmpty())
            output.error(options.error);
        return status;
    }
    const auto usage = [this](const QString &message) {
        output.error(message % u" (see --help)"_s);
        return int(CliOutput::UsageError);
    };
    const ClientConfig config = ClientConfig::load(options.configFile);
    parallel = options.parallel > 0 ? options.parallel : config.parallelTests;
    if (options.timeoutMs > 0)
        manager.timeoutMs = options.timeoutMs;
    const bool testing = options.command == u"test";
    const bool history = options.command == u"history";
    // Results are kept per ping page, so history needs one too.
    const bool pinging = testing || history;
    manager.apiUrl = options.apiUrl.value_or(config.apiUrl);
    manager.pingUrl = options.pingUrl.value_or(config.pingUrl);
    if (manager.apiUrl.isEmpty())
        return usage(u"no API address: set API_URL in the configuration, or use --api-url"_s);
    if (!isServiceUrl(manager.apiUrl))
        return usage(u"the API address is not an http or https URL"_s);
    if (pinging && manager.pingUrl.isEmpty())
        return usage(u"no ping page: set PING_URL in the configuration, or use --ping-url"_s);
    if (pinging && !isServiceUrl(manager.pingUrl))
        return usage(u"the ping page's address is not an http or https URL"_s);
    manager.testTarget = options.target;
    if (const QString problem = options.target.exitIpProblem(manager.apiUrl); !problem.isEmpty())
        return usage(u"--exit-ip: "_s % problem);

    // The history's account is the API address and the user name: no password needed.
    const Credentials credentials =
        history ? Credentials::userOnly(options.user, options.credentialsFile)
                : Credentials::obtain(options.credentialsFile);
    if (!credentials.isValid()) {
        output.error(credentials.error);
        return CliOutput::UsageError;
    }
    output.setCredentials(credentials.user, credentials.password);
    manager.setCredentials(credentials.user, credentials.password);
    if (pinging) {
        manager.historyFile = ProxyManager::defaultHistoryFile();
        manager.setRecording(options.record);
    }
    // A run goes on without history when it cannot be written; history ends at its problem.
    if (testing)
        connect(&manager, &ProxyManager::historyProblem, this,
                [this](const QString &line) { output.error(u"no history: "_s % line); });
    if (options.replacePrevious) {
        const QString state = options.stateFile.value_or(stateFile());
        if (state.isEmpty() || !QDir().mkpath(QFileInfo(state).absolutePath()))
            return usage(u"no folder for the state file: use --state"_s);
        manager.setReplacePrevious(true, state);
    }
    const QStringList &listEdit = options.listEdit;
    if (!listEdit.isEmpty() && listEdit.first() == u"remove" && !options.yes) {
        if (!Credentials::stdinIsTerminal()) {
            output.error(u"refused: remove asks first; use --yes when not at a terminal"_s);
            return CliOutput::UsageError;
        }
        if (!Credentials::confirm(u"Remove "_s % listEdit.mid(1).join(u", "_s) %
                                  u" from the authorized list?"_s))
            return CliOutput::UsageError;
    }
    return -1;
}

// Where systemd gives the service its state folder, else the user's own.
QString CommandLineClient::stateFile()
{
    QString folder = qEnvironmentVariable("STATE_DIRECTORY").section(u':', 0, 0);
    if (folder.isEmpty())
        folder = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    return folder.isEmpty() ? QString() : folder % u"/own-addresses.ini"_s;
}
