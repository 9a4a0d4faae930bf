#include "SecretMask.h"

#include <QUrl>

#include <algorithm>
#include <cctype>

using namespace Qt::StringLiterals;

namespace {

QByteArray lowerHex(QByteArray percent)
{
    for (qsizetype i = 0; i + 2 < percent.size(); ++i) {
        if (percent.at(i) == '%') {
            percent[i + 1] = char(std::tolower(uchar(percent.at(i + 1))));
            percent[i + 2] = char(std::tolower(uchar(percent.at(i + 2))));
            i += 2;
        }
    }
    return percent;
}

void addBase64(QList<QByteArray> &forms, const QByteArray &bytes)
{
    for (const auto alphabet : {QByteArray::Base64Encoding, QByteArray::Base64UrlEncoding})
        for (const auto padding : {QByteArray::KeepTrailingEquals, QByteArray::OmitTrailingEquals})
            forms << bytes.toBase64(alphabet | padding);
}

} // namespace

SecretMask::SecretMask(const QString &user, const QString &password)
{
    if (password.isEmpty())
        return;
    const QByteArray utf8 = password.toUtf8();
    const QByteArray percent = QUrl::toPercentEncoding(password);
    QByteArray form = percent;
    form.replace("%20", "+");
    QList<QByteArray> encoded{percent, lowerHex(percent), form, lowerHex(form)};
    addBase64(encoded, utf8);
    // The percent-encoded "user:password" holds the encoded password; its base64 does not.
    addBase64(encoded, (user + u':' + password).toUtf8());

    // The service's text is read one character per byte: a UTF-8 password shows as its bytes.
    forms << password << QString::fromLatin1(utf8);
    for (const QByteArray &bytes : std::as_const(encoded))
        forms << QString::fromLatin1(bytes);
    forms.removeDuplicates();
    std::stable_sort(forms.begin(), forms.end(),
                     [](const QString &a, const QString &b) { return a.size() > b.size(); });
}

QString SecretMask::masked(const QString &text) const
{
    QString result = text;
    // Each pass is a linear search; a form that is absent costs no copy.
    for (const QString &form : forms)
        result.replace(form, u"***"_s);
    return result;
}
