#include "SecretServiceJob.h"

#include <qt6keychain/keychain.h>

void SecretServiceJob::start()
{
    QKeychain::Job *job = nullptr;
    if (kind == Kind::Read) {
        job = new QKeychain::ReadPasswordJob(service);
    } else if (kind == Kind::Write) {
        auto *write = new QKeychain::WritePasswordJob(service);
        write->setTextData(input);
        job = write;
    } else {
        job = new QKeychain::DeletePasswordJob(service);
    }
    job->setKey(key);
    job->setAutoDelete(true);
    // A secret never goes to a plain file, whatever the desktop lacks.
    job->setInsecureFallback(false);
    connect(job, &QKeychain::Job::finished, this, [this](QKeychain::Job *done) {
        const auto *read = qobject_cast<QKeychain::ReadPasswordJob *>(done);
        switch (done->error()) {
        case QKeychain::NoError:
            finish(Result::Ok, read ? read->textData() : QString());
            break;
        case QKeychain::EntryNotFound:
            finish(Result::NotFound, {}, done->errorString());
            break;
        default:
            finish(Result::Failed, {}, done->errorString());
        }
    });
    job->start();
}
