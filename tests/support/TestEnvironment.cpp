#include "TestEnvironment.h"

#include <QDebug>
#include <QTcpServer>

using namespace Qt::StringLiterals;

TestEnvironment::TestEnvironment() = default;

TestEnvironment::~TestEnvironment()
{
    stop();
}

QString TestEnvironment::demoUser()
{
    return u"demo"_s;
}

QString TestEnvironment::demoPassword()
{
    return u"demo-pass"_s;
}

QByteArray TestEnvironment::wrongPageBody()
{
    return QByteArrayLiteral("<html><body>Wrong page</body></html>");
}

QString TestEnvironment::entryOf(quint16 port)
{
    return u"127.0.0.1:"_s + QString::number(port);
}

QString TestEnvironment::allowingEntry() const
{
    return allowingProxy.entry();
}

QString TestEnvironment::refusingEntry() const
{
    return refusingProxy.entry();
}

QString TestEnvironment::silentEntry() const
{
    return entryOf(silentListener.port());
}

QString TestEnvironment::wrongPageEntry() const
{
    return entryOf(wrongPage.port());
}

QString TestEnvironment::closedEntry() const
{
    return entryOf(closedPort);
}

QStringList TestEnvironment::demoProxies() const
{
    return {allowingEntry(), refusingEntry(), silentEntry(), wrongPageEntry(), closedEntry()};
}

QString TestEnvironment::tinyproxyVersion()
{
    return TinyProxy::version();
}

bool TestEnvironment::tinyproxyAvailable()
{
    return !TinyProxy::executable().isEmpty();
}

bool TestEnvironment::fail(const QString &message)
{
    m_error = message;
    qWarning().noquote() << "TestEnvironment:" << message;
    stop();
    return false;
}

void TestEnvironment::installHandlers()
{
    silentListener.setHandler([](const ReceivedRequest &) {
        CannedResponse response;
        response.stall = true;
        return std::optional<CannedResponse>(response);
    });
    wrongPage.setHandler([](const ReceivedRequest &) {
        CannedResponse response;
        response.addHeader("Content-Type", "text/html; charset=utf-8");
        response.body = wrongPageBody();
        return std::optional<CannedResponse>(response);
    });
}

bool TestEnvironment::start()
{
    if (m_started)
        return true;
    m_error.clear();
    if (!service.listen())
        return fail(u"service cannot listen: "_s + service.errorString());
    if (!silentListener.listen())
        return fail(u"silent listener cannot listen: "_s + silentListener.errorString());
    if (!wrongPage.listen())
        return fail(u"wrong-page listener cannot listen: "_s + wrongPage.errorString());
    if (!allowingProxy.start(TinyProxy::Mode::Allowing))
        return fail(u"allowing tinyproxy: "_s + allowingProxy.errorString());
    if (!refusingProxy.start(TinyProxy::Mode::Refusing))
        return fail(u"refusing tinyproxy: "_s + refusingProxy.errorString());
    // Reserved last, so no part started above can be handed this port.
    {
        QTcpServer reserve;
        if (!reserve.listen(QHostAddress::LocalHost, 0))
            return fail(u"cannot reserve a closed port: "_s + reserve.errorString());
        closedPort = reserve.serverPort();
    }
    m_started = true;
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
    }
    installHandlers();
    service.clearAccounts();
    service.addAccount(demoUser(), demoPassword(), demoProxies());
}

void TestEnvironment::stop()
{
    m_started = false;
    allowingProxy.stop();
    refusingProxy.stop();
    service.close();
    silentListener.close();
    wrongPage.close();
    closedPort = 0;
}
