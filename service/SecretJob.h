#pragma once

#include <QObject>
#include <QString>

// One request to the OS keychain, answered later through finished(), or never (a locked keyring
// may prompt, a missing Secret Service leaves D-Bus waiting): callers bound the wait. The
// Secret Service serves it through QtKeychain; on Windows the Credential Manager serves it.
class SecretJob : public QObject
{
    Q_OBJECT

public:
    enum class Result
    {
        Ok,
        NotFound,
        Failed
    };

    static SecretJob *read(const QString &service, const QString &key);
    static SecretJob *write(const QString &service, const QString &key, const QString &secret);
    static SecretJob *remove(const QString &service, const QString &key);

    // Once started the job deletes itself after finished.
    virtual void start() = 0;

    Result result() const { return m_result; }
    // What a read found.
    QString secret() const { return m_secret; }
    // The keychain's own words when it failed.
    QString reason() const { return m_reason; }

signals:
    void finished(SecretJob *job);

protected:
    enum class Kind
    {
        Read,
        Write,
        Remove
    };

    SecretJob(Kind kind, const QString &service, const QString &key, const QString &secret);
    void finish(Result result, const QString &secret = {}, const QString &reason = {});

    const Kind kind;
    const QString service;
    const QString key;
    // What a write stores.
    const QString input;

private:
    Result m_result = Result::Failed;
    QString m_secret;
    QString m_reason;
};
