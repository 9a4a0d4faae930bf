#include "CredentialJob.h"

#include <QTimer>

#include <string>

#include <windows.h>

#include <wincred.h>

using namespace Qt::StringLiterals;

namespace {

QString errorText(DWORD error)
{
    return u"Credential Manager error %1"_s.arg(error);
}

} // namespace

void CredentialJob::start()
{
    std::wstring target = QString(service % u'/' % key).toStdWString();
    Result result = Result::Ok;
    QString secret;
    QString reason;
    if (kind == Kind::Read) {
        PCREDENTIALW credential = nullptr;
        if (CredReadW(target.c_str(), CRED_TYPE_GENERIC, 0, &credential)) {
            secret = QString::fromUtf8(reinterpret_cast<const char *>(credential->CredentialBlob),
                                       qsizetype(credential->CredentialBlobSize));
            SecureZeroMemory(credential->CredentialBlob, credential->CredentialBlobSize);
            CredFree(credential);
        } else {
            const DWORD error = GetLastError();
            result = error == ERROR_NOT_FOUND ? Result::NotFound : Result::Failed;
            reason = errorText(error);
        }
    } else if (kind == Kind::Write) {
        QByteArray blob = input.toUtf8();
        CREDENTIALW credential{};
        credential.Type = CRED_TYPE_GENERIC;
        credential.TargetName = target.data();
        credential.CredentialBlobSize = DWORD(blob.size());
        credential.CredentialBlob = reinterpret_cast<LPBYTE>(blob.data());
        // This machine only: the password does not roam with a domain profile.
        credential.Persist = CRED_PERSIST_LOCAL_MACHINE;
        if (blob.size() > CRED_MAX_CREDENTIAL_BLOB_SIZE) {
            result = Result::Failed;
            reason = u"the password is too long for the Credential Manager"_s;
        } else if (!CredWriteW(&credential, 0)) {
            result = Result::Failed;
            reason = errorText(GetLastError());
        }
        SecureZeroMemory(blob.data(), size_t(blob.size()));
    } else if (!CredDeleteW(target.c_str(), CRED_TYPE_GENERIC, 0)) {
        const DWORD error = GetLastError();
        // Nothing to delete is what a removal wants.
        if (error != ERROR_NOT_FOUND) {
            result = Result::Failed;
            reason = errorText(error);
        }
    }
    // Answered from the event loop, as the other keychains answer.
    QTimer::singleShot(0, this, [this, result, secret, reason] { finish(result, secret, reason); });
}
