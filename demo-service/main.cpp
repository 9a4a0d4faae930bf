#include "DemoService.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

void printLine(const QString &line)
{
    std::fputs(line.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
    // A script may be waiting for this line on a pipe.
    std::fflush(stdout);
}

[[noreturn]] void fail(const QString &message)
{
    std::fprintf(stderr, "pm-demo-service: %s\n", message.toLocal8Bit().constData());
    std::exit(1);
}

quint16 portValue(const QCommandLineParser &parser, const QString &name)
{
    bool ok = false;
    const quint16 port = parser.value(name).toUShort(&ok);
    if (!ok)
        fail(u"invalid port for --"_s + name + u": "_s + parser.value(name));
    return port;
}

void startListener(DemoService &service, quint16 port, const QString &role)
{
    if (!service.listen(port))
        fail(u"cannot listen for "_s + role + u" on 127.0.0.1:"_s + QString::number(port) +
             u": "_s + service.errorString());
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(u"pm-demo-service"_s);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        u"Local demo of the proxy service: account API, ping page and broken proxies."_s);
    parser.addHelpOption();
    const QCommandLineOption portOption(u"port"_s, u"Port of the service; 0 picks one."_s, u"N"_s,
                                        u"0"_s);
    const QCommandLineOption accountsOption(u"accounts"_s, u"JSON file with accounts."_s,
                                            u"FILE"_s);
    const QCommandLineOption accountOption(u"account"_s, u"An account (repeatable)."_s,
                                           u"user:pass"_s);
    const QCommandLineOption proxyOption(
        u"proxy"_s, u"A proxy entry of every --account account (repeatable)."_s, u"host:port"_s);
    const QCommandLineOption authIpOption(
        u"auth-ip"_s, u"An authorized IP of every --account account (repeatable)."_s, u"IP"_s);
    const QCommandLineOption maxAuthIpsOption(
        u"max-authorized"_s, u"Longest authorized list setauthips stores (default: no cap)."_s,
        u"N"_s);
    const QCommandLineOption logoOption(u"logo"_s, u"File served as /logo.png."_s, u"FILE"_s);
    const QCommandLineOption reportedIpOption(
        u"reported-ip"_s, u"Address getmyip reports instead of the caller's."_s, u"IP"_s);
    const QCommandLineOption silentOption(
        u"silent-port"_s, u"Also listen here and never answer (a dead proxy); 0 picks one."_s,
        u"N"_s);
    const QCommandLineOption wrongPageOption(
        u"wrong-page-port"_s,
        u"Also listen here and answer every request with a wrong page; 0 picks one."_s, u"N"_s);
    const QCommandLineOption verboseOption(u"verbose"_s, u"Log every request to stderr."_s);
    parser.addOptions({portOption, accountsOption, accountOption, proxyOption, authIpOption,
                       logoOption, maxAuthIpsOption, reportedIpOption, silentOption,
                       wrongPageOption, verboseOption});
    parser.process(app);
    if (!parser.positionalArguments().isEmpty())
        fail(u"unexpected argument: "_s + parser.positionalArguments().first());

    DemoService service;
    if (parser.isSet(accountsOption)) {
        QString error;
        if (!service.loadAccounts(parser.value(accountsOption), &error))
            fail(error);
    }
    const QStringList proxies = parser.values(proxyOption);
    const QStringList authIps = parser.values(authIpOption);
    const QStringList accounts = parser.values(accountOption);
    for (const QString &account : accounts) {
        const qsizetype colon = account.indexOf(u':');
        if (colon <= 0)
            fail(u"--account wants user:pass, got: "_s + account);
        service.addAccount(account.left(colon), account.mid(colon + 1), proxies, authIps);
    }
    if (parser.isSet(reportedIpOption))
        service.setReportedIp(parser.value(reportedIpOption));
    if (parser.isSet(logoOption))
        service.setLogoFile(parser.value(logoOption));
    if (parser.isSet(maxAuthIpsOption))
        service.setMaxAuthorizedIps(parser.value(maxAuthIpsOption).toInt());
    if (parser.isSet(verboseOption)) {
        QObject::connect(&service, &DemoService::requestReceived, [](const ReceivedRequest &r) {
            std::fprintf(stderr, "%s %s %s\n", r.peerAddress.toLocal8Bit().constData(),
                         r.method.constData(), r.target.constData());
        });
    }

    DemoService silent;
    silent.setHandler([](const ReceivedRequest &) {
        CannedResponse response;
        response.stall = true;
        return std::optional<CannedResponse>(response);
    });
    DemoService wrongPage;
    wrongPage.setHandler([](const ReceivedRequest &) {
        CannedResponse response;
        response.addHeader("Content-Type", "text/html; charset=utf-8");
        response.body = "<html><body>Wrong page</body></html>";
        return std::optional<CannedResponse>(response);
    });

    startListener(service, portValue(parser, portOption.names().first()), u"the service"_s);
    if (parser.isSet(silentOption))
        startListener(silent, portValue(parser, u"silent-port"_s), u"the silent port"_s);
    if (parser.isSet(wrongPageOption))
        startListener(wrongPage, portValue(parser, u"wrong-page-port"_s), u"the wrong-page port"_s);

    printLine(u"API_URL="_s + service.apiUrl().toString());
    printLine(u"PING_URL="_s + service.pingUrl().toString());
    if (silent.isListening())
        printLine(u"SILENT_ENTRY="_s + silent.entry());
    if (wrongPage.isListening())
        printLine(u"WRONG_PAGE_ENTRY="_s + wrongPage.entry());
    return app.exec();
}
