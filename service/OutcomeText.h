#pragma once

#include <QNetworkReply>
#include <QString>

// The words of test outcomes and the reasons given with them. They are the program's own, not
// Qt's error strings, so that the log and the command line's records stay the same whatever
// carries the requests.
namespace OutcomeText {

// The word for a result's status code, 0 to 5 ("Up" ... "Invalid entry"); empty otherwise.
QString name(int code);
// The address a page of the service's refusal names; empty when the page is no such refusal.
QString refusedAddress(const QString &page);
// Why a request through a proxy got no answer. tlsError: the first certificate problem
// (a QSslError::SslError), 0 for none.
QString networkFailure(QNetworkReply::NetworkError error, int tlsError = 0);
bool isTlsFailure(QNetworkReply::NetworkError error);
// An https request through a proxy: Qt reports a tunnel the proxy refused without its answer.
QString tunnelFailure(QNetworkReply::NetworkError error);
// "HTTP 403 Forbidden", the reason as one bounded line.
QString statusLine(int status, const QString &reason);
QString redirect(const QString &location);
QString textMissing(bool cutOff);
QString noExitAddress(const QString &answer);

} // namespace OutcomeText
