#pragma once

#include <QColor>

// The colour of each outcome, shared by the Status column, the History strip and the history
// window's chart, so that one outcome looks the same everywhere.
class StatusColours
{
public:
    // Status codes 0 to 5; -1 a row waiting in a run (white); anything else grey.
    static QColor of(int code);
    // Codes 1 to 3 count against a proxy; Connection Error is the user's own line and an
    // invalid entry was never tried.
    static bool isFailure(int code) { return code >= 1 && code <= 3; }
};
