#include "KeyringStore.h"

#include "codec/Wipe.h"

#include <QEventLoop>
#include <QTimer>
#include <cstring>
#include <limits>
#include <qt6keychain/keychain.h>
#include <set>

namespace {

constexpr const char* kService = "vellomir";

const char* KindName(SecretKind kind) {
    switch (kind) {
    case SecretKind::Password:
        return "Passwd";
    case SecretKind::ClientSecret:
        return "OAuthClientSecret";
    case SecretKind::RefreshToken:
        return "OAuthRefresh";
    }
    return "Passwd";
}

// Whether a login with the entry's method cannot go without this secret.
bool Needed(const ProxyData& entry, SecretKind kind) {
    switch (kind) {
    case SecretKind::Password:
        return entry.Method != MethodNone && entry.Method != MethodXoauth2;
    case SecretKind::RefreshToken:
        return entry.Method == MethodXoauth2;
    case SecretKind::ClientSecret:
        return false; // public clients have none
    }
    return false;
}

void Wipe(QByteArray& bytes) {
    explicit_bzero(bytes.data(), static_cast<std::size_t>(bytes.size()));
    bytes.clear();
}

// Runs the job and waits for its end, at most `millis`.
KeyringResult Run(QKeychain::Job* job, int millis) {
    job->setAutoDelete(false);
    job->setInsecureFallback(false);
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    bool finished = false;
    QObject::connect(job, &QKeychain::Job::finished, &loop, [&] {
        finished = true;
        loop.quit();
    });
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    limit.start(millis);
    job->start();
    if (!finished) {
        loop.exec();
    }
    if (!finished) {
        return {KeyringResult::Failed, QStringLiteral("the keyring did not answer in time")};
    }
    switch (job->error()) {
    case QKeychain::NoError:
        return {};
    case QKeychain::EntryNotFound:
        return {KeyringResult::Missing, QStringLiteral("not in the keyring")};
    case QKeychain::AccessDeniedByUser:
    case QKeychain::AccessDenied:
        return {KeyringResult::Denied, job->errorString()};
    case QKeychain::NoBackendAvailable:
    case QKeychain::NotImplemented:
        return {KeyringResult::Unavailable, job->errorString()};
    default:
        return {KeyringResult::Failed, job->errorString()};
    }
}

// Whether an entry of `entries` other than number `except` has a secret of this kind under
// `key`.
bool UsedBy(const QString& key, SecretKind kind, const std::vector<ProxyData>& entries,
            std::int32_t except) {
    for (const ProxyData& other : entries) {
        if (other.Index != except && !SecretOf(other, kind).empty() &&
            SecretKey(other, kind) == key) {
            return true;
        }
    }
    return false;
}

KeyringResult Described(KeyringResult result, const QString& key) {
    if (!result.ok()) {
        result.reason = key + QStringLiteral(": ") + result.reason;
    }
    return result;
}

} // namespace

QString SecretKey(const ProxyData& entry, SecretKind kind) {
    return QStringLiteral("%1 %2@%3:%4 %5")
        .arg(QString::fromLatin1(KindName(kind)), QString::fromStdString(entry.User),
             QString::fromStdString(entry.SMTP), QString::number(entry.Port),
             QString::fromStdString(entry.Domain));
}

std::string& SecretOf(ProxyData& entry, SecretKind kind) {
    switch (kind) {
    case SecretKind::ClientSecret:
        return entry.OAuthClientSecret;
    case SecretKind::RefreshToken:
        return entry.OAuthRefresh;
    default:
        return entry.Passwd;
    }
}

const std::string& SecretOf(const ProxyData& entry, SecretKind kind) {
    return SecretOf(const_cast<ProxyData&>(entry), kind);
}

KeyringResult KeyringStore::Read(const QString& key, std::string& secret) const {
    auto* job = new QKeychain::ReadPasswordJob(QString::fromLatin1(kService));
    job->setKey(key);
    const KeyringResult result = Run(job, waitMillis_);
    if (result.ok()) {
        QByteArray bytes = job->binaryData();
        secret.assign(bytes.constData(), static_cast<std::size_t>(bytes.size()));
        Wipe(bytes);
    }
    job->deleteLater();
    return result;
}

KeyringResult KeyringStore::Write(const QString& key, const std::string& secret) const {
    auto* job = new QKeychain::WritePasswordJob(QString::fromLatin1(kService));
    job->setKey(key);
    QByteArray bytes(secret.data(), static_cast<qsizetype>(secret.size()));
    job->setBinaryData(bytes);
    Wipe(bytes);
    const KeyringResult result = Run(job, waitMillis_);
    job->deleteLater();
    return result;
}

KeyringResult KeyringStore::Remove(const QString& key) const {
    auto* job = new QKeychain::DeletePasswordJob(QString::fromLatin1(kService));
    job->setKey(key);
    KeyringResult result = Run(job, waitMillis_);
    job->deleteLater();
    if (result.status == KeyringResult::Missing) {
        result = {};
    }
    return result;
}

KeyringResult KeyringSecrets::MoveIn(const std::vector<ProxyData>& entries) const {
    std::vector<QString> stored;
    KeyringResult failure;
    for (const ProxyData& entry : entries) {
        for (const SecretKind kind : kSecretKinds) {
            const std::string& secret = SecretOf(entry, kind);
            if (secret.empty() || !failure.ok()) {
                continue;
            }
            const QString key = SecretKey(entry, kind);
            KeyringResult result = store_.Write(key, secret);
            std::string back;
            if (result.ok()) {
                stored.push_back(key);
                result = store_.Read(key, back);
                if (result.ok() && back != secret) {
                    result = {KeyringResult::Failed, QStringLiteral("read back differently")};
                }
            }
            Wipe(back);
            failure = Described(result, key);
        }
    }
    if (!failure.ok()) {
        for (const QString& key : stored) {
            store_.Remove(key);
        }
    }
    return failure;
}

KeyringResult KeyringSecrets::Forget(const std::vector<ProxyData>& entries) const {
    KeyringResult first;
    std::set<QString> done;
    for (const ProxyData& entry : entries) {
        for (const SecretKind kind : kSecretKinds) {
            const QString key = SecretKey(entry, kind);
            if (!done.insert(key).second) {
                continue;
            }
            const KeyringResult result = store_.Remove(key);
            if (first.ok() && !result.ok()) {
                first = Described(result, key);
            }
        }
    }
    return first;
}

KeyringResult KeyringSecrets::FillAll(std::vector<ProxyData>& entries) const {
    KeyringResult first;
    for (ProxyData& entry : entries) {
        entry.SecretProblem.clear();
        for (const SecretKind kind : kSecretKinds) {
            const QString key = SecretKey(entry, kind);
            std::string secret;
            const KeyringResult result = store_.Read(key, secret);
            if (result.ok()) {
                SecretOf(entry, kind).swap(secret);
                Wipe(secret);
                continue;
            }
            if (result.status == KeyringResult::Missing && !Needed(entry, kind)) {
                continue;
            }
            const KeyringResult described = Described(result, key);
            if (Needed(entry, kind) && entry.SecretProblem.empty()) {
                entry.SecretProblem = described.reason.toStdString();
            }
            if (first.ok()) {
                first = described;
            }
        }
    }
    return first;
}

KeyringResult KeyringSecrets::Saved(const ProxyData& entry, const ProxyData* before,
                                    const std::vector<ProxyData>& all) const {
    KeyringResult first;
    for (const SecretKind kind : kSecretKinds) {
        const QString key = SecretKey(entry, kind);
        const std::string& secret = SecretOf(entry, kind);
        // Unchanged: no round trip to the keyring (each may ask to unlock it), and a secret the
        // list never got (the keyring was locked at start) is not removed as if it were cleared.
        if (before != nullptr && SecretKey(*before, kind) == key &&
            SecretOf(*before, kind) == secret) {
            continue;
        }
        KeyringResult result;
        if (!secret.empty()) {
            result = store_.Write(key, secret);
        } else if (!UsedBy(key, kind, all, entry.Index)) {
            result = store_.Remove(key);
        }
        if (first.ok() && !result.ok()) {
            first = Described(result, key);
        }
        if (before != nullptr) {
            const QString old = SecretKey(*before, kind);
            if (old != key && !UsedBy(old, kind, all, entry.Index)) {
                store_.Remove(old);
            }
        }
    }
    return first;
}

KeyringResult KeyringSecrets::Erased(const ProxyData& entry,
                                     const std::vector<ProxyData>& remaining) const {
    KeyringResult first;
    for (const SecretKind kind : kSecretKinds) {
        const QString key = SecretKey(entry, kind);
        // The remaining entries are renumbered already: none is excluded.
        if (UsedBy(key, kind, remaining, std::numeric_limits<std::int32_t>::min())) {
            continue;
        }
        const KeyringResult result = store_.Remove(key);
        if (first.ok() && !result.ok()) {
            first = Described(result, key);
        }
    }
    return first;
}
