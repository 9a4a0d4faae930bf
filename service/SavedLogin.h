#pragma once

#include <QObject>
#include <QString>

#include <functional>

class SecretJob;

// A login kept across starts: the password in the OS keychain (Secret Service, Windows
// Credential Manager), keyed by the API address and the user name; the user name and that key
// in the per-user settings. Nothing else is written anywhere. Keychain jobs answer later, or
// never (a locked keyring prompts, a missing Secret Service leaves D-Bus waiting): each wait
// is bounded, and one past its bound counts as no keychain.
class SavedLogin : public QObject
{
    Q_OBJECT

public:
    explicit SavedLogin(QObject *parent = nullptr);

    // The bound of each keychain job; tests shorten it.
    int waitMs = 20000;

    // The remembered user name for this API address; empty when none.
    static QString userFor(const QString &apiUrl);

    // Reads a key that is never written: "not found" means a keychain answers.
    void check();
    void save(const QString &apiUrl, const QString &user, const QString &password);
    // Ends in loaded; an empty password when none could be read.
    void load(const QString &apiUrl);
    // Deletes the secret and the settings' note of it.
    void forget();

signals:
    void checked(bool answers, const QString &reason);
    void saved(bool ok, const QString &reason);
    void loaded(const QString &user, const QString &password, const QString &reason);
    void forgotten();

private:
    // Starts the job; done gets it once it finished, or null past the bound.
    void run(SecretJob *job, const std::function<void(const SecretJob *)> &done);
    void remove(const QString &key, const std::function<void()> &done);
};
