// Requests to an OAuth 2.0 token endpoint over HTTPS (libcurl), and their JSON answers.
#include <arpa/inet.h>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <curl/curl.h>
#include <nlohmann/json.hpp>
#include <openssl/x509.h>

#include "Limits.h"
#include "codec/Wipe.h"
#include "diag/Proginit.h"
#include "server/OAuthTokens.h"
#include "server/Server.h"
#include "server/SocketUtil.h"

namespace {

// Most bytes of an answer taken: a token answer is a few kilobytes.
constexpr std::size_t kAnswerMax = 64 * 1024;

struct Answer {
    std::string body;
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
    auto* answer = static_cast<Answer*>(user);
    const std::size_t length = size * count;
    if (answer->body.size() + length > kAnswerMax) {
        return 0; // ends the transfer: no answer of the endpoint is this long
    }
    answer->body.append(data, length);
    return length;
}

// "localhost", or a numeric address of this machine (127.0.0.0/8, ::1, or 127/8 as a mapped
// IPv6 address). A name that merely starts with "127." is not one.
bool isLoopbackHost(std::string host) {
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    if (host == "localhost") {
        return true;
    }
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
        return IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
    }
    return false;
}

} // namespace

bool oauthUrlAllowed(const std::string& url, std::string* why) {
    const auto refuse = [&](const char* reason) {
        if (why != nullptr) {
            *why = reason;
        }
        return false;
    };
    CURLU* parsed = curl_url();
    if (parsed == nullptr || curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
        curl_url_cleanup(parsed);
        return refuse("the token URL is not a URL");
    }
    char* scheme = nullptr;
    char* host = nullptr;
    curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0);
    curl_url_get(parsed, CURLUPART_HOST, &host, 0);
    const std::string schemeText = scheme != nullptr ? scheme : "";
    const std::string hostText = host != nullptr ? host : "";
    curl_free(scheme);
    curl_free(host);
    curl_url_cleanup(parsed);
    if (!hostText.empty() &&
        (schemeText == "https" || (schemeText == "http" && isLoopbackHost(hostText)))) {
        return true;
    }
    return refuse("the token URL must use https (http only to this machine)");
}

namespace {

std::string escaped(CURL* curl, const std::string& text) {
    char* value = curl_easy_escape(curl, text.data(), static_cast<int>(text.size()));
    std::string result = value != nullptr ? value : "";
    curl_free(value);
    return result;
}

std::string textField(const nlohmann::json& object, const char* name) {
    const auto found = object.find(name);
    return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

long numberField(const nlohmann::json& object, const char* name, long fallback) {
    const auto found = object.find(name);
    if (found == object.end()) {
        return fallback;
    }
    if (found->is_number_integer()) {
        return found->get<long>();
    }
    if (found->is_string()) { // some endpoints send the number as text
        char* end = nullptr;
        const std::string text = found->get<std::string>();
        const long value = std::strtol(text.c_str(), &end, 10);
        return end != text.c_str() ? value : fallback;
    }
    return fallback;
}

using FormFields = std::vector<std::pair<const char*, const std::string*>>;

// POSTs `fields` (with the entry's client id and secret) to the entry's token endpoint and reads
// the JSON answer: on success the three token fields, else the endpoint's error code and
// description.
TokenOutcome postForm(const ProxyData& entry, FormFields fields, int deadlineMillis,
                      std::string& accessToken, long& expiresIn, std::string& refreshToken) {
    TokenOutcome outcome;
    if (!oauthUrlAllowed(entry.OAuthTokenUrl, &outcome.error)) {
        return outcome;
    }
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        outcome.temporary = true;
        outcome.error = "cannot start an HTTP request";
        return outcome;
    }
    fields.emplace_back("client_id", &entry.OAuthClientId);
    if (!entry.OAuthClientSecret.empty()) {
        fields.emplace_back("client_secret", &entry.OAuthClientSecret);
    }
    std::string form;
    for (const auto& [name, value] : fields) {
        form += (form.empty() ? "" : "&") + std::string(name) + "=" + escaped(curl, *value);
    }
    Answer answer;
    // The same trust as an upstream without CAFile: OpenSSL's default verify paths, so
    // SSL_CERT_FILE and SSL_CERT_DIR apply.
    const char* fileEnv = std::getenv(X509_get_default_cert_file_env());
    const char* dirEnv = std::getenv(X509_get_default_cert_dir_env());
    curl_easy_setopt(curl, CURLOPT_CAINFO,
                     fileEnv != nullptr ? fileEnv : X509_get_default_cert_file());
    curl_easy_setopt(curl, CURLOPT_CAPATH,
                     dirEnv != nullptr ? dirEnv : X509_get_default_cert_dir());
    curl_easy_setopt(curl, CURLOPT_URL, entry.OAuthTokenUrl.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https,http");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(engineDeadlines().connectMillis));
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(deadlineMillis));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, form.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(form.size()));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "Vellomir");
    // With CURLOPT_NOSIGNAL the library leaves SIGPIPE alone, and OpenSSL writes with write().
    const CURLcode result = [&] {
        const PipeSignalBlock noPipeSignal;
        return curl_easy_perform(curl);
    }();
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);
    Wipe(form);

    if (result != CURLE_OK) {
        outcome.temporary = true;
        outcome.error = std::string("token endpoint: ") + curl_easy_strerror(result);
        Wipe(answer.body);
        return outcome;
    }
    const nlohmann::json json = nlohmann::json::parse(answer.body, nullptr, false);
    Wipe(answer.body);
    if (json.is_discarded() || !json.is_object()) {
        outcome.temporary = status >= 500;
        outcome.error = "token endpoint: HTTP " + std::to_string(status) + ", no JSON answer";
        return outcome;
    }
    accessToken = textField(json, "access_token");
    if (status == 200 && !accessToken.empty()) {
        expiresIn = numberField(json, "expires_in", 3600);
        refreshToken = textField(json, "refresh_token");
        outcome.ok = true;
        return outcome;
    }
    Wipe(accessToken);
    const std::string code = textField(json, "error");
    const std::string description = textField(json, "error_description");
    outcome.temporary = status >= 500 || code == "temporarily_unavailable";
    outcome.error = "token endpoint: HTTP " + std::to_string(status) + " " +
                    (code.empty() ? std::string("error") : code) +
                    (description.empty() ? "" : " (" + description + ")");
    return outcome;
}

} // namespace

TokenOutcome requestAccessToken(const ProxyData& entry, const std::string& refreshToken,
                                int deadlineMillis, std::string& accessToken,
                                long& expiresInSeconds, std::string& newRefreshToken) {
    static const std::string kGrant = "refresh_token";
    FormFields fields = {{"grant_type", &kGrant}, {"refresh_token", &refreshToken}};
    if (!entry.OAuthScope.empty()) {
        fields.emplace_back("scope", &entry.OAuthScope);
    }
    DebugLog("OAuth token request(%s)", entry.OAuthTokenUrl.c_str());
    return postForm(entry, std::move(fields), deadlineMillis, accessToken, expiresInSeconds,
                    newRefreshToken);
}

TokenOutcome requestTokensForCode(const ProxyData& entry, const std::string& code,
                                  const std::string& codeVerifier, const std::string& redirectUri,
                                  int deadlineMillis, std::string& accessToken,
                                  long& expiresInSeconds, std::string& refreshToken) {
    static const std::string kGrant = "authorization_code";
    DebugLog("OAuth code exchange(%s)", entry.OAuthTokenUrl.c_str());
    return postForm(entry,
                    {{"grant_type", &kGrant},
                     {"code", &code},
                     {"code_verifier", &codeVerifier},
                     {"redirect_uri", &redirectUri}},
                    deadlineMillis, accessToken, expiresInSeconds, refreshToken);
}
