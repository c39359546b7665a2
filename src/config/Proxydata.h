// Proxy entries: one per mail domain, and the process-wide list of them.
//
// ProxyData is a plain value; it is copied wherever it travels, so no entry is shared between
// threads. ProxyList is the one global list. The user-interface thread is its only writer; every
// session thread scans it for its client's domain and copies the match out. Every operation of
// the list holds the list's mutex, so a scan and its copy never see a half-done edit.
// No operation reports an error; positions must lie in 0 <= k < Count().
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <vector>

// Upstream login method: the same code in memory, in the settings file and as the position in
// the entry dialog's method list. Any other value is kept as it is and named "AUTO".
enum AuthMethod : std::int32_t {
    MethodNone = 0,
    MethodAuto = 1,
    MethodLogin = 2,
    MethodPlain = 3,
    MethodCramMd5 = 4,
    MethodXoauth2 = 5, // OAuth 2.0 bearer token; never chosen by AUTO
};

// How the connection to the upstream server is protected. A stored value outside these reads as
// SecurityNone, so files written before TLS existed behave as they always did.
enum SecurityMode : std::int32_t {
    SecurityNone = 0,     // plain TCP
    SecurityStartTls = 1, // plain greeting, then STARTTLS is required before anything else
    SecurityTls = 2,      // TLS from the first byte (usually port 465)
};

class ProxyData {
  public:
    ProxyData() = default;
    ProxyData(const ProxyData&) = default;
    ProxyData(ProxyData&&) = default;
    ProxyData& operator=(const ProxyData&) = default;
    ProxyData& operator=(ProxyData&&) = default;
    // Every copy's secrets are wiped when the copy goes: a freed buffer must not keep them.
    ~ProxyData();

    std::int32_t Index = -1; // position in ProxyList and number in the settings file; -1 if new
    std::string Domain;      // mail domain that selects this entry
    std::string SMTP;        // upstream server: host name or dotted IPv4 address
    std::int32_t Method = MethodAuto;
    std::string User;
    std::string Passwd; // held in clear in memory, Base64 in the settings file
    std::int32_t Port = 25;
    std::int32_t Security = SecurityNone;
    // PEM file whose certificates alone are trusted for this server; empty: the system store.
    std::string CAFile;
    // SHA-256 of the server certificate (hex, colons and case ignored); when set, it alone
    // decides whether the server is accepted.
    std::string Fingerprint;
    // OAuth 2.0 (XOAUTH2): the endpoints, the client registration, and the refresh token of the
    // account named by User. The access token lives in the engine's memory only.
    std::string OAuthAuthUrl;
    std::string OAuthTokenUrl;
    std::string OAuthClientId;
    std::string OAuthClientSecret; // may be empty; Base64 in the settings file
    std::string OAuthScope;
    std::string OAuthRefresh; // Base64 in the settings file
    // In memory only: why the entry's secret could not be had (the keyring was locked or had
    // none); its login then fails at once with this reason instead of sending an empty one.
    std::string SecretProblem;

    // n >= 0: Index = n and the other fields from entry n of the settings file (not the list).
    // n < 0: Index = n and the other fields reset to those of a new entry.
    void Init(std::int32_t n);
    // Writes the entry under number Index (>= 0) with the updated count, and flushes.
    void Save() const;

    bool operator==(const ProxyData&) const = default;
};

class ProxyDataList {
  public:
    int Count() const;
    void Append(const ProxyData& entry);
    ProxyData At(int k) const;
    std::vector<ProxyData> Snapshot() const;
    void Clear();

    // Add: Index := Count(), then append a copy. Returns the copy as stored.
    ProxyData Add(ProxyData entry);
    // Replace: all fields of the element at entry.Index.
    void Replace(const ProxyData& entry);
    // Delete: renumber the later elements one down, then remove the element at k.
    // (The caller rewrites the settings file's entry section afterwards.)
    void Erase(int k);

    // Walks from the front; the first element for which `matches` holds is copied into `found`.
    // Gives false and copies nothing when none matches. `matches` runs under the list's lock.
    bool Scan(const std::function<bool(const ProxyData&)>& matches, ProxyData& found) const;

  private:
    mutable std::mutex mutex_;
    std::list<ProxyData> items_;
};

// The one list of the process.
extern ProxyDataList ProxyList;
