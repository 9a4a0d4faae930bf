#include "SavedLogin.h"

#include "SafeText.h"

#include <QCoreApplication>
#include <QSettings>
#include <QTimer>

#include <qt6keychain/keychain.h>

using namespace Qt::StringLiterals;

namespace {

const auto userSetting = u"savedLogin/user"_s;
const auto keySetting = u"savedLogin/key"_s;

QString keyOf(const QString &apiUrl, const QString &user)
{
    return user % u'@' % apiUrl;
}

QString serviceName()
{
    return QCoreApplication::applicationName();
}

// The keychain's own words, on one bounded line.
QString reasonOf(QKeychain::Job *job, int waitMs)
{
    if (!job)
        return u"no keychain answered within %1 s"_s.arg(waitMs / 1000.0);
    return SafeText::singleLine(job->errorString(), 200);
}

} // namespace

SavedLogin::SavedLogin(QObject *parent) : QObject(parent) {}

QString SavedLogin::userFor(const QString &apiUrl)
{
    const QSettings settings;
    QString user = settings.value(userSetting).toString();
    if (user.isEmpty() || settings.value(keySetting).toString() != keyOf(apiUrl, user))
        return {};
    return user;
}

void SavedLogin::check()
{
    auto *job = new QKeychain::ReadPasswordJob(serviceName());
    job->setKey(u"keychain check (never written)"_s);
    run(job, [this](QKeychain::Job *done) {
        const bool answers = done && (done->error() == QKeychain::NoError ||
                                      done->error() == QKeychain::EntryNotFound);
        emit checked(answers, answers ? QString() : reasonOf(done, waitMs));
    });
}

void SavedLogin::save(const QString &apiUrl, const QString &user, const QString &password)
{
    const QString key = keyOf(apiUrl, user);
    auto *job = new QKeychain::WritePasswordJob(serviceName());
    job->setKey(key);
    job->setTextData(password);
    run(job, [this, key, user](QKeychain::Job *done) {
        if (!done || done->error() != QKeychain::NoError) {
            emit saved(false, reasonOf(done, waitMs));
            return;
        }
        QSettings settings;
        const QString previous = settings.value(keySetting).toString();
        settings.setValue(userSetting, user);
        settings.setValue(keySetting, key);
        // One saved login at a time: another user's password goes.
        if (!previous.isEmpty() && previous != key)
            remove(previous, [] {});
        emit saved(true, {});
    });
}

void SavedLogin::load(const QString &apiUrl)
{
    const QString user = userFor(apiUrl);
    if (user.isEmpty()) {
        QTimer::singleShot(0, this, [this] { emit loaded({}, {}, u"no saved login"_s); });
        return;
    }
    auto *job = new QKeychain::ReadPasswordJob(serviceName());
    job->setKey(keyOf(apiUrl, user));
    run(job, [this, user](QKeychain::Job *done) {
        const auto *read = qobject_cast<QKeychain::ReadPasswordJob *>(done);
        if (read && read->error() == QKeychain::NoError)
            emit loaded(user, read->textData(), {});
        else
            emit loaded(user, {}, reasonOf(done, waitMs));
    });
}

void SavedLogin::forget()
{
    QSettings settings;
    const QString key = settings.value(keySetting).toString();
    settings.remove(u"savedLogin"_s);
    if (key.isEmpty()) {
        QTimer::singleShot(0, this, [this] { emit forgotten(); });
        return;
    }
    remove(key, [this] { emit forgotten(); });
}

void SavedLogin::remove(const QString &key, const std::function<void()> &done)
{
    auto *job = new QKeychain::DeletePasswordJob(serviceName());
    job->setKey(key);
    run(job, [done](QKeychain::Job *) { done(); });
}

void SavedLogin::run(QKeychain::Job *job, const std::function<void(QKeychain::Job *)> &done)
{
    // The job has no parent: one past its bound may still answer, after this object is gone.
    job->setAutoDelete(true);
    job->setInsecureFallback(false);
    auto *bound = new QTimer(this);
    bound->setSingleShot(true);
    connect(job, &QKeychain::Job::finished, bound, [bound, done](QKeychain::Job *finished) {
        bound->stop();
        bound->deleteLater();
        done(finished);
    });
    connect(bound, &QTimer::timeout, this, [job, bound, done] {
        // Unfinished, so still alive: it deletes itself only after finishing.
        QObject::disconnect(job, nullptr, bound, nullptr);
        bound->deleteLater();
        done(nullptr);
    });
    bound->start(waitMs);
    job->start();
}
