#pragma once

#include <QString>

// Text from the service or a proxy, made fit for one log line or one label.
namespace SafeText {

// Line breaks and tabs become spaces, other control and format characters (bidirectional
// overrides, NUL, lone surrogates) become U+FFFD. A text longer than maxChars is cut and ends in
// "…" and a note of how many characters were left out; the result is never longer than maxChars.
QString singleLine(const QString &text, int maxChars = 200);

} // namespace SafeText
