#include "TargetCheck.h"

#include "OutcomeText.h"
#include "SafeText.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#if QT_CONFIG(ssl)
#include <QSslError>
#endif

#include <algorithm>

using namespace Qt::StringLiterals;

TargetCheck *TargetCheck::read(QNetworkReply *reply, const QString &expect)
{
    return new TargetCheck(reply, expect);
}

TargetCheck::TargetCheck(QNetworkReply *reply, const QString &expect)
    : QObject(reply), answer(reply), expect(expect)
{
    clock.start();
    connect(answer, &QNetworkReply::metaDataChanged, this, &TargetCheck::headers);
    connect(answer, &QNetworkReply::readyRead, this, &TargetCheck::readBody);
    connect(answer, &QNetworkReply::finished, this, &TargetCheck::ended);
#if QT_CONFIG(ssl)
    connect(answer, &QNetworkReply::sslErrors, this, [this](const QList<QSslError> &errors) {
        if (!errors.isEmpty() && tlsError == 0)
            tlsError = int(errors.first().error());
    });
#endif
}

void TargetCheck::headers()
{
    const QVariant code = answer->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (done || headersAt >= 0 || !code.isValid())
        return;
    headersAt = clock.elapsed();
    status = code.toInt();
    // A captive portal answers with a redirect: the target was not reached.
    if (status >= 300 && status < 400)
        return decide(Verdict::Failed,
                      OutcomeText::redirect(QString::fromLatin1(answer->rawHeader("Location"))));
    if (status >= 200 && status < 300 && expect.isEmpty())
        return decide(Verdict::Up, {});
    // Read by the charset the page declares; UTF-8 when it declares none or an unknown one.
    const QString type = QString::fromLatin1(answer->rawHeader("Content-Type"));
    const qsizetype at = type.indexOf(u"charset="_s, 0, Qt::CaseInsensitive);
    if (at >= 0) {
        const QString name = type.mid(at + 8).section(u';', 0, 0).remove(u'"').trimmed();
        decoder = QStringDecoder(name.toLatin1().constData());
    }
    if (!decoder.isValid())
        decoder = QStringDecoder(QStringDecoder::Utf8);
}

void TargetCheck::readBody()
{
    if (done || headersAt < 0)
        return;
    const bool success = status >= 200 && status < 300;
    char buffer[16 * 1024];
    while (!done && !full && answer->bytesAvailable() > 0) {
        const qint64 size =
            answer->read(buffer, std::min<qint64>(sizeof buffer, maxScanBytes - scanned));
        if (size <= 0)
            break;
        scanned += size;
        full = scanned >= maxScanBytes;
        const qsizetype before = text.size();
        text += decoder.decode(QByteArrayView(buffer, size));
        if (success) {
            // Only a match that ends in the new text is new.
            const qsizetype from = std::max<qsizetype>(0, before - expect.size() + 1);
            if (text.indexOf(expect, from) >= 0)
                return decide(Verdict::Up, {});
            // Past the refusal window only what a match across slices needs is kept.
            if (text.size() > maxRefusalChars && text.size() > expect.size())
                text = text.right(expect.size());
        } else {
            full = full || text.size() >= maxRefusalChars;
        }
    }
    if (full && !done)
        judge();
}

void TargetCheck::ended()
{
    headers();
    if (done)
        return;
    if (headersAt < 0) {
        // No HTTP answer; a TLS failure needs no probe: something answered.
        const QNetworkReply::NetworkError error = answer->error();
        const bool tunnel = answer->url().scheme() == u"https" && tlsError == 0;
        const QString reason = tunnel && !OutcomeText::isTlsFailure(error)
                                   ? OutcomeText::tunnelFailure(error)
                                   : OutcomeText::networkFailure(error, tlsError);
        return decide(OutcomeText::isTlsFailure(error) ? Verdict::Failed : Verdict::Unclear,
                      reason);
    }
    readBody();
    if (!done)
        judge();
}

void TargetCheck::judge()
{
    // Through the proxy it is the service's refusal, whatever the status.
    const QString refused = OutcomeText::refusedAddress(text.left(maxRefusalChars));
    if (!refused.isEmpty())
        return decide(Verdict::Denied, SafeText::singleLine(refused));
    if (status >= 200 && status < 300)
        return decide(Verdict::Failed, OutcomeText::textMissing(scanned >= maxScanBytes));
    decide(Verdict::Failed,
           OutcomeText::statusLine(
               status, answer->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString()));
}

void TargetCheck::decide(Verdict verdict, const QString &detail)
{
    done = true;
    result = verdict;
    why = detail;
    answer->disconnect(this);
    answer->abort();
    answer->deleteLater();
    emit finished();
}
