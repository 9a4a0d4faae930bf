#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

class ApiClient;
class QNetworkReply;
class SecretMask;

// The account's authorized addresses as a getauthips answer gives them. The list is written
// back whole by setauthips, so a read counts only when every line is understood: anything
// else (an error page, an "ERROR" line, a NUL byte, a body that may have been cut off) fails.
class AuthorizedIpList
{
public:
    // complete: the body is known to have arrived whole (its Content-Length was reached).
    // Otherwise it must end with a line end to count as whole. mask hides the password in the
    // problem, which may quote the service.
    static AuthorizedIpList parse(const QByteArray &body, bool complete, const SecretMask &mask);
    // The same for a getauthips reply, whose reader parsed its lines as they arrived.
    static AuthorizedIpList read(const QNetworkReply *reply, bool complete, const SecretMask &mask);
    // A getauthips reply as a round may use it: also failed when the request failed, its status
    // was not 200 or its body came short of its length.
    static AuthorizedIpList checked(QNetworkReply *reply, const ApiClient &api);

    // Parsing line by line: each line without its line end (CR, LF or CR LF), then the end,
    // with the text after the last line end.
    void addLine(QByteArrayView line);
    AuthorizedIpList ended(QByteArrayView rest, bool complete, const SecretMask &mask) const;

    bool isValid() const { return problem.isEmpty(); }
    // The address is listed by itself, with or without a full-length prefix; a network that
    // merely contains it does not count, as the service may not match by network.
    bool holds(const QHostAddress &address) const;

    // Each non-blank line, trimmed, exactly as read.
    QStringList entries;
    // Empty when the read counts; otherwise why not, in English, on one line.
    QString problem;

private:
    struct Parsed
    {
        QHostAddress address;
        int prefixLength = -1;
    };
    QList<Parsed> parsed;
    bool heldNul = false;
    // The first line that is not understood, as read (within the line bound): masked only when
    // the problem is formed, as a cut could split a secret.
    QString badLine;
};
