#include "SecretJob.h"

#ifdef Q_OS_WIN
#include "CredentialJob.h"
using PlatformJob = CredentialJob;
#else
#include "SecretServiceJob.h"
using PlatformJob = SecretServiceJob;
#endif

SecretJob::SecretJob(Kind kind, const QString &service, const QString &key, const QString &secret)
    : kind(kind), service(service), key(key), input(secret)
{
}

SecretJob *SecretJob::read(const QString &service, const QString &key)
{
    return new PlatformJob(Kind::Read, service, key, {});
}

SecretJob *SecretJob::write(const QString &service, const QString &key, const QString &secret)
{
    return new PlatformJob(Kind::Write, service, key, secret);
}

SecretJob *SecretJob::remove(const QString &service, const QString &key)
{
    return new PlatformJob(Kind::Remove, service, key, {});
}

void SecretJob::finish(Result result, const QString &secret, const QString &reason)
{
    m_result = result;
    m_secret = secret;
    m_reason = reason;
    emit finished(this);
    deleteLater();
}
