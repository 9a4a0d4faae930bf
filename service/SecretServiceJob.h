#pragma once

#include "SecretJob.h"

// A keychain request served by QtKeychain (the Secret Service on Linux).
class SecretServiceJob : public SecretJob
{
    Q_OBJECT

public:
    SecretServiceJob(Kind kind, const QString &service, const QString &key, const QString &secret)
        : SecretJob(kind, service, key, secret)
    {
    }

    void start() override;
};
