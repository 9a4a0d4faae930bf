#pragma once

#include <QString>
#include <QStringList>

// Hides an account's password in text from the service, which may echo what it was sent: the
// password as typed and as it travels (percent-encoded, form-encoded, base64 alone and in the
// Basic-auth "user:password").
class SecretMask
{
public:
    SecretMask() = default;
    // An empty password masks nothing.
    SecretMask(const QString &user, const QString &password);

    // Each form replaced by "***". Mask before cutting a text: a cut could leave half a secret.
    QString masked(const QString &text) const;

private:
    // Longest first, so that no shorter form leaves part of a longer one behind.
    QStringList forms;
};
