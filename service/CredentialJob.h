#pragma once

#include "SecretJob.h"

// A keychain request served by the Windows Credential Manager: a generic credential named
// "<service>/<key>", kept for this user on this machine.
class CredentialJob : public SecretJob
{
    Q_OBJECT

public:
    CredentialJob(Kind kind, const QString &service, const QString &key, const QString &secret)
        : SecretJob(kind, service, key, secret)
    {
    }

    void start() override;
};
