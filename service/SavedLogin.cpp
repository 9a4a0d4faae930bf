#include "SavedLogin.h"

#include "SafeText.h"
#include "SecretJob.h"

#include <QCoreApplication>
#include <QSettings>
#include <QTimer>

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
QString reasonOf(const SecretJob *job, int waitMs)
{
    if (!job)
        return u"no keychain answered within %1 s"_s.arg(waitMs / 1000.0);
    return SafeText::singleLine(job->reason(), 200);
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
    run(SecretJob::read(serviceName(), u"keychain check (never written)"_s),
        [this](const SecretJob *done) {
            const bool answers = done && done->result() != SecretJob::Result::Failed;
            emit checked(answers, answers ? QString() : reasonOf(done, waitMs));
        });
}

void SavedLogin::save(const QString &apiUrl, const QString &user, const QString &password)
{
    const QString key = keyOf(apiUrl, user);
    run(SecretJob::write(serviceName(), key, password), [this, key, user](const SecretJob *done) {
        if (!done || done->result() != SecretJob::Result::Ok) {
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
    run(SecretJob::read(serviceName(), keyOf(apiUrl, user)), [this, user](const SecretJob *done) {
        if (done && done->result() == SecretJob::Result::Ok)
            emit loaded(user, done->secret(), {});
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
    run(SecretJob::remove(serviceName(), key), [done](const SecretJob *) { done(); });
}

void SavedLogin::run(SecretJob *job, const std::function<void(const SecretJob *)> &done)
{
    // The job has no parent: one past its bound may still answer, after this object is gone.
    auto *bound = new QTimer(this);
    bound->setSingleShot(true);
    connect(job, &SecretJob::finished, bound, [bound, done](const SecretJob *finished) {
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
