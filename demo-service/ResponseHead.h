#pragma once

#include "CannedResponse.h"

#include <QByteArray>

// The status line and headers a DemoConnection sends before a canned answer's body.
class ResponseHead
{
public:
    // closeAfterResponse comes in as the request asked and goes out true as well when the
    // answer's framing or its own headers mean the connection must end after it.
    static QByteArray compose(const CannedResponse &response, bool *closeAfterResponse);
};
