#include "ResultStrip.h"

#include "StatusColours.h"

static_assert(sizeof(ResultStrip) == 8, "a strip an entry must stay as small as its result");

void ResultStrip::push(int code)
{
    bits = ((bits << 3) | (quint64(code) & slotMask)) & empty;
}

QByteArray ResultStrip::codes() const
{
    QByteArray codes;
    for (int slot = length - 1; slot >= 0; --slot) {
        if (quint64(codeAt(slot)) != slotMask)
            codes.append(char(codeAt(slot)));
    }
    return codes;
}

// Straight from the bits: a sort asks it of every entry.
int ResultStrip::failures() const
{
    int count = 0;
    for (int slot = 0; slot < length; ++slot)
        count += StatusColours::isFailure(codeAt(slot));
    return count;
}
