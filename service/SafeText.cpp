#include "SafeText.h"

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

bool isLineBreak(char16_t c)
{
    return c == u'\n' || c == u'\r' || c == u'\t' || c == u'\v' || c == u'\f' || c == 0x85 ||
           c == 0x2028 || c == 0x2029;
}

} // namespace

QString SafeText::singleLine(const QString &text, int maxChars)
{
    maxChars = qMax(maxChars, 1);
    // Nearly every text is short printable ASCII: a long list should not pay for a copy of each.
    if (text.size() <= maxChars &&
        std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u' ' && c <= u'~'; }))
        return text;
    qsizetype keep = text.size();
    QString note;
    if (text.size() > maxChars) {
        // The note's own length depends on the count it gives; sizing it with the whole length
        // is never too short.
        const QString longest = u"… ("_s % QString::number(text.size()) % u" more characters)"_s;
        keep = qMax<qsizetype>(maxChars - longest.size(), 0);
        if (keep == 0) {
            keep = maxChars - 1;
            note = u"…"_s;
        } else {
            note = u"… ("_s % QString::number(text.size() - keep) % u" more characters)"_s;
        }
        // Never split a surrogate pair.
        if (keep > 0 && text.at(keep - 1).isHighSurrogate())
            --keep;
    }

    QString result;
    result.reserve(keep + note.size());
    for (qsizetype i = 0; i < keep; ++i) {
        const QChar c = text.at(i);
        if (isLineBreak(c.unicode())) {
            result.append(u' ');
        } else if (c.isHighSurrogate() && i + 1 < keep && text.at(i + 1).isLowSurrogate()) {
            result.append(c);
            result.append(text.at(++i));
        } else if (c.isSurrogate() || c.category() == QChar::Other_Control ||
                   c.category() == QChar::Other_Format) {
            result.append(QChar::ReplacementCharacter);
        } else {
            result.append(c);
        }
    }
    return result + note;
}
