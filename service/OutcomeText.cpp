#include "OutcomeText.h"

#include "SafeText.h"

#if QT_CONFIG(ssl)
#include <QSslError>
#endif

#include <iterator>

using namespace Qt::StringLiterals;

namespace {

const auto refusalMarker = u"<p>Please ensure this IP is set in your Authorized IP list: <b>"_s;

QString tlsProblem(int error)
{
#if QT_CONFIG(ssl)
    switch (QSslError::SslError(error)) {
    case QSslError::NoError:
        return u"the handshake failed"_s;
    case QSslError::HostNameMismatch:
        return u"the certificate is for another host"_s;
    case QSslError::CertificateExpired:
        return u"the certificate has expired"_s;
    case QSslError::CertificateNotYetValid:
        return u"the certificate is not valid yet"_s;
    case QSslError::CertificateRevoked:
        return u"the certificate was revoked"_s;
    default:
        return u"the certificate is not trusted"_s;
    }
#else
    Q_UNUSED(error);
    return u"this build has no TLS"_s;
#endif
}

} // namespace

QString OutcomeText::name(int code)
{
    static const QString names[] = {u"Up"_s,    u"Access Denied"_s,    u"Timeout"_s,
                                    u"Error"_s, u"Connection Error"_s, u"Invalid entry"_s};
    return code >= 0 && code < int(std::size(names)) ? names[code] : QString();
}

QString OutcomeText::refusedAddress(const QString &page)
{
    const qsizetype p = page.indexOf(refusalMarker);
    if (p < 0)
        return {};
    const qsizetype start = p + refusalMarker.size();
    const qsizetype end = page.indexOf(u"</b>"_s, p);
    return page.mid(start, end < 0 ? -1 : end - start);
}

bool OutcomeText::isTlsFailure(QNetworkReply::NetworkError error)
{
    return error == QNetworkReply::SslHandshakeFailedError;
}

QString OutcomeText::networkFailure(QNetworkReply::NetworkError error, int tlsError)
{
    if (isTlsFailure(error))
        return u"TLS failure: "_s % tlsProblem(tlsError);
    switch (error) {
    // Through a proxy, the connection is the proxy's.
    case QNetworkReply::ConnectionRefusedError:
        return u"the proxy refused the connection"_s;
    case QNetworkReply::RemoteHostClosedError:
        return u"the proxy closed the connection before an answer"_s;
    case QNetworkReply::HostNotFoundError:
        return u"the proxy's host name was not found"_s;
    case QNetworkReply::TimeoutError:
        return u"the connection timed out"_s;
    case QNetworkReply::ProxyConnectionRefusedError:
        return u"the proxy refused the connection"_s;
    case QNetworkReply::ProxyConnectionClosedError:
        return u"the proxy closed the connection"_s;
    case QNetworkReply::ProxyNotFoundError:
        return u"the proxy's host name was not found"_s;
    case QNetworkReply::ProxyTimeoutError:
        return u"the proxy did not answer in time"_s;
    case QNetworkReply::ProxyAuthenticationRequiredError:
        return u"the proxy asks for a login"_s;
    case QNetworkReply::UnknownProxyError:
        return u"the proxy gave an answer that is not HTTP"_s;
    case QNetworkReply::ProtocolFailure:
        return u"the answer is not HTTP"_s;
    default:
        return u"the request failed (network error "_s % QString::number(int(error)) % u')';
    }
}

QString OutcomeText::tunnelFailure(QNetworkReply::NetworkError error)
{
    // Qt's word for a refused CONNECT, and for a proxy it could not reach at all.
    if (error == QNetworkReply::UnknownNetworkError || error == QNetworkReply::UnknownProxyError)
        return u"the proxy refused the connection or the tunnel (CONNECT)"_s;
    return networkFailure(error);
}

QString OutcomeText::statusLine(int status, const QString &reason)
{
    return u"HTTP "_s % QString::number(status) %
           (reason.isEmpty() ? QString() : u' ' % SafeText::singleLine(reason, 100));
}

QString OutcomeText::redirect(const QString &location)
{
    return location.isEmpty() ? u"redirect without a Location"_s
                              : u"redirect to "_s % SafeText::singleLine(location, 150);
}

QString OutcomeText::textMissing(bool cutOff)
{
    return cutOff ? u"the expected text is not in the page's first 2 MB"_s
                  : u"the expected text is not in the page"_s;
}

QString OutcomeText::noExitAddress(const QString &answer)
{
    return u"the exit address page's answer is not one address: "_s %
           SafeText::singleLine(answer, 80);
}
