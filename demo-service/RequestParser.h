#pragma once

#include "ReceivedRequest.h"

#include <QByteArray>

// Reads HTTP/1.x requests off the front of a connection's buffer, one at a time.
class RequestParser
{
public:
    enum class Result
    {
        NeedMore,
        Complete,
        Bad
    };

    // On Complete the request is taken off the buffer and filled in, apart from what only the
    // connection knows (peer, local port, connection id); on Bad, errorStatus is the status
    // to answer with before closing.
    static Result parse(QByteArray *buffer, ReceivedRequest *request, int *errorStatus);
    // HTTP/1.0 closes unless asked to keep alive; HTTP/1.1 keeps alive unless asked to close.
    static bool wantsClose(const ReceivedRequest &request);
    // Whether a comma-separated header value holds the token, compared without case.
    static bool hasToken(const QByteArray &value, const QByteArray &token);
};
