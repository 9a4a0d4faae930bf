#include "TestEnvironment.h"

#include "ProgramIdentity.h"

#include <QDebug>
#include <QSettings>
#include <QTcpServer>

using namespace Qt::StringLiterals;

QStringList TestEnvironment::demoProxies() const
{
    return {allowingEntry(), refusingEntry(), silentEntry(), wrongPageEntry(), closedEntry()};
}

bool TestEnvironment::start()
{
    const auto fail = [this](const QString &message) {
        m_error = message;
        qWarning().noquote() << "TestEnvironment:" << message;
        return false;
    };
    ProgramIdentity::apply();
    QSettings::setDefaultFormat(QSettings::IniFormat);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir.path());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(settingsDir.path()));
    for (DemoService *s :
         {&service, &silentListener, &wrongPage, static_cast<DemoService *>(&target)}) {
        if (!s->listen())
            return fail(u"cannot listen: "_s + s->errorString());
    }
    if (!tlsService.listenTls(QStringLiteral(PM_TEST_TLS_DIR "/self-signed.crt"),
                              QStringLiteral(PM_TEST_TLS_DIR "/self-signed.key")))
        return fail(u"cannot listen for TLS: "_s + tlsService.errorString());
    bool withProxies = true;
#ifdef Q_OS_WIN
    withProxies = tinyproxyAvailable();
#endif
    if (withProxies && !allowingProxy.start(TinyProxy::Mode::Allowing))
        return fail(u"allowing tinyproxy: "_s + allowingProxy.errorString());
    if (withProxies && !refusingProxy.start(TinyProxy::Mode::Refusing))
        return fail(u"refusing tinyproxy: "_s + refusingProxy.errorString());
    // Reserved last, so no part started above can be handed this port.
    QTcpServer reserve;
    if (!reserve.listen(QHostAddress::LocalHost, 0))
        return fail(u"cannot reserve a closed port: "_s + reserve.errorString());
    closedPort = reserve.serverPort();
    reset();
    return true;
}

void TestEnvironment::reset()
{
    for (DemoService *s : {&service, &silentListener, &wrongPage}) {
        s->setHandler({});
        s->clearRequests();
        s->setReportedIp({});
        s->setLogoFile({});
        s->setMaxAuthorizedIps(0);
    }
    CannedResponse stalled;
    stalled.stall = true;
    silentListener.setHandler(
        [stalled](const ReceivedRequest &) { return std::optional(stalled); });
    wrongPage.setHandler([](const ReceivedRequest &) {
        return std::optional(CannedResponse::withStatus(200, wrongPageBody()));
    });
    target.clearRequests();
    service.clearAccounts();
    service.addAccount(demoUser(), demoPassword(), demoProxies());
    QSettings().clear();
}

void TestEnvironment::answerWith(const QString &command,
                                 const std::optional<CannedResponse> &response)
{
    service.setHandler([=](const ReceivedRequest &r) {
        return r.queryValue(u"command"_s) == command ? response : std::nullopt;
    });
}

QStringList TestEnvironment::commands() const
{
    QStringList words;
    for (const ReceivedRequest &request : service.requestsFor(u"/api"_s))
        words << request.queryValue(u"command"_s);
    return words;
}
