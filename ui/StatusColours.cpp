#include "StatusColours.h"

QColor StatusColours::of(int code)
{
    static const QColor colours[] = {QColor(255, 255, 255), QColor(0, 200, 0), QColor(220, 220, 0),
                                     QColor(200, 0, 0),     QColor(200, 0, 0), QColor(220, 220, 0),
                                     QColor(160, 160, 160)};
    return code >= -1 && code <= 5 ? colours[code + 1] : colours[6];
}
