// The login at the upstream server: EHLO, then SMTP AUTH with LOGIN, PLAIN or CRAM-MD5 (or, for
// AUTO, the best of these that the server offers), or XOAUTH2 with an OAuth access token.
#include <cstdio>
#include <cstring>
#include <string>

#include "Limits.h"
#include "codec/Base64.h"
#include "codec/Hmac.h"
#include "codec/Wipe.h"
#include "config/Inifile.h"
#include "diag/Proginit.h"
#include "server/Server.h"

namespace {

constexpr int kStepDone = 5;
// Every line built from the user name or password must fit the line buffer, LF included.
constexpr std::size_t kLineMax = limits::kLineBuffer - 1;
constexpr const char* kTooLong = "Auth user or password too long";

std::int32_t methodFromAuthLine(const char* mechanisms) {
    std::int32_t method = MethodLogin; // an AUTH line naming none of the three
    if (findText(mechanisms, "CRAM-MD5") != nullptr) {
        method = MethodCramMd5;
    } else if (findText(mechanisms, "PLAIN") != nullptr) {
        method = MethodPlain;
    } else if (findText(mechanisms, "LOGIN") != nullptr) {
        method = MethodLogin;
    }
    DebugLog("Auto selected Method=%s", IniFile::MethodName(method));
    return method;
}

class UpstreamLogin {
  public:
    UpstreamLogin(const ProxyData& entry, SocketTask& task, char* line, std::size_t size)
        : entry_(entry), task_(task), server_(task.PeerSocket), line_(line), size_(size) {
        firstWord(line_, word_, sizeof word_);
        method_ = entry_.Method;
        // Codes outside the known ones are named "AUTO" and behave as AUTO.
        if (method_ != MethodNone && method_ != MethodLogin && method_ != MethodPlain &&
            method_ != MethodCramMd5 && method_ != MethodXoauth2) {
            method_ = MethodAuto;
        }
    }
    ~UpstreamLogin() {
        Wipe(scratch_, sizeof scratch_);
        Wipe(token_);
    }

    // The secret the login needs, before anything is sent: the entry's own (unless the desktop
    // program could not get it), and for XOAUTH2 a bearer token that is valid now, only over
    // TLS. Gives false, with the login failed, when it cannot be had.
    bool prepareSecret() {
        if (method_ != MethodNone && !entry_.SecretProblem.empty()) {
            // The desktop program could not get the secret (a locked or missing keyring):
            // nothing is sent rather than an empty password.
            DebugLog("Auth secret not available: %s", entry_.SecretProblem.c_str());
            task_.fail(UpstreamFailure::Permanent,
                       "the password is not available: " + entry_.SecretProblem);
            return false;
        }
        if (method_ != MethodXoauth2) {
            return true;
        }
        if (entry_.Security == SecurityNone) {
            fail("Auth XOAUTH2 needs TLS");
            return false;
        }
        if (task_.Services == nullptr) {
            fail("Auth XOAUTH2 has no token service");
            return false;
        }
        const TokenOutcome outcome =
            task_.Services->tokens.accessToken(entry_, token_, engineDeadlines().replyMillis);
        if (!outcome.ok) {
            DebugLog("Auth XOAUTH2 token: %s", outcome.error.c_str());
            task_.fail(outcome.temporary ? UpstreamFailure::Temporary : UpstreamFailure::Permanent,
                       outcome.error);
            return false;
        }
        return true;
    }

    // After STARTTLS the greeting is behind us: the dialogue starts as if it had just come.
    void greetingAlreadyRead() {
        if (method_ == MethodNone) {
            step_ = kStepDone;
            return;
        }
        step_ = 1;
        sendEhlo();
    }

    int run() {
        while (task_.running() && step_ < kStepDone) {
            if (getLine(task_, server_, line_, size_) != 0) {
                task_.stop();
                break;
            }
            const int code = replyCode(line_);
            DebugLog("mode=%d,code=%d", step_, code);
            switch (step_) {
            case 0:
                onGreeting(code);
                break;
            case 1:
                onEhloReply(code);
                break;
            case 2:
                onFirstChallenge(code);
                break;
            case 3:
                onSecondChallenge(code);
                break;
            default:
                onLoginResult(code);
                break;
            }
        }
        return task_.running() ? 0 : -1;
    }

  private:
    // A refusal with 4xx is worth a retry by the mail client; anything else is not.
    bool expect(int code, int expected) {
        if (code != expected) {
            task_.fail(code / 100 == 4 ? UpstreamFailure::Temporary : UpstreamFailure::Permanent,
                       line_);
            return false;
        }
        return true;
    }

    void fail(const char* trace) {
        DebugLog("%s", trace);
        task_.fail(UpstreamFailure::Permanent, trace);
    }

    void sendEhlo() { sendServerLine(task_, ("EHLO " + std::string(word_) + "\n").c_str(), true); }

    void onGreeting(int code) {
        if (!expect(code, 220)) {
            return;
        }
        // A greeting of several lines is read to its last line before EHLO goes out.
        if (skipContinuation(task_, server_, line_, size_, nullptr) != 0) {
            return;
        }
        step_ = 1;
        if (method_ == MethodNone) {
            step_ = kStepDone;
            return;
        }
        sendEhlo();
    }

    void onEhloReply(int code) {
        if (!expect(code, 250)) {
            return;
        }
        std::int32_t* choice = method_ == MethodAuto ? &method_ : nullptr;
        if (skipContinuation(task_, server_, line_, size_, choice) != 0) {
            return;
        }
        if (method_ == MethodAuto) {
            // No reply line is left to wait for: the server offers no login at all.
            fail("Auth no AUTH offered");
            return;
        }
        step_ = 2;
        switch (method_) {
        case MethodLogin:
            sendServerLine(task_, "AUTH LOGIN\n", true);
            break;
        case MethodPlain:
            step_ = 4;
            sendPlain();
            break;
        case MethodXoauth2:
            step_ = 4;
            sendXoauth2();
            break;
        default:
            sendServerLine(task_, "AUTH CRAM-MD5\n", true);
            break;
        }
    }

    void onFirstChallenge(int code) {
        if (!expect(code, 334)) {
            return;
        }
        step_ = 3;
        if (method_ == MethodLogin) {
            if (encodeLine(entry_.User)) {
                task_.MaskNextSend = true;
                sendServerLine(task_, scratch_, true);
            }
        } else if (method_ == MethodCramMd5) {
            step_ = 4;
            sendCramMd5Response();
        }
    }

    void onSecondChallenge(int code) {
        if (!expect(code, 334)) {
            return;
        }
        step_ = 4;
        if (method_ == MethodLogin && encodeLine(entry_.Passwd)) {
            sendServerLine(task_, scratch_, false);
            Wipe(scratch_, sizeof scratch_);
            DebugLog("Send Password");
        }
    }

    void onLoginResult(int code) {
        // A refused token comes back as 334 with the server's error in Base64 JSON; an empty
        // line asks for the final 535.
        if (method_ == MethodXoauth2 && code == 334 && !tokenErrorAnswered_) {
            tokenErrorAnswered_ = true;
            DebugLog("Auth XOAUTH2 refused: %s", line_);
            sendServerLine(task_, "\n", true);
            return;
        }
        if (expect(code, 235)) {
            step_ = kStepDone;
        } else if (method_ == MethodXoauth2 && task_.Services != nullptr) {
            task_.Services->tokens.drop(entry_);
        }
    }

    void sendXoauth2() {
        // "\x01" stands alone: "\x01a..." would read as the escape \x01a.
        std::string message = "user=" + entry_.User + "\x01" + "auth=Bearer " + token_ + "\x01\x01";
        std::string encoded(Base64EncodedSize(message.size()), '\0');
        const bool fits = Base64EncodeBytes(message.data(), encoded.data(),
                                            static_cast<int>(message.size()), encoded.size());
        Wipe(message);
        encoded.resize(std::strlen(encoded.c_str()));
        std::string text = "AUTH XOAUTH2 " + encoded + "\n";
        Wipe(encoded);
        if (!fits || text.size() > limits::kAuthLineMax) {
            Wipe(text);
            fail(kTooLong);
            return;
        }
        sendServerLine(task_, text.c_str(), false);
        Wipe(text);
        DebugLog("Send AUTH XOAUTH2");
    }

    // Base64 of `text` and a LF into the scratch buffer; fails the login when it does not fit.
    bool encodeLine(const std::string& text) {
        if (!Base64EncodeText(text.c_str(), scratch_, kLineMax)) {
            fail(kTooLong);
            return false;
        }
        std::strcat(scratch_, "\n");
        return true;
    }

    void sendPlain() {
        // Authorization identity and user name are both the entry's user name.
        std::string message = entry_.User;
        message.push_back('\0');
        message += entry_.User;
        message.push_back('\0');
        message += entry_.Passwd;
        constexpr const char* kCommand = "AUTH PLAIN ";
        const std::size_t room = kLineMax - std::strlen(kCommand) - 1 + 1; // LF out, NUL in
        const bool encoded =
            Base64EncodeBytes(message.data(), scratch_, static_cast<int>(message.size()), room);
        Wipe(message);
        if (!encoded) {
            fail(kTooLong);
            return;
        }
        std::string text = kCommand + std::string(scratch_) + "\n";
        Wipe(scratch_, sizeof scratch_);
        sendServerLine(task_, text.c_str(), false);
        Wipe(text);
        DebugLog("Send AUTH PLAIN");
    }

    void sendCramMd5Response() {
        const char* encoded = std::strlen(line_) >= 4 ? line_ + 4 : "";
        // A challenge that does not decode has no salt to answer; an HMAC of what did decode
        // would only give the server (or whoever sent it) a digest of the password.
        if (Base64Decode(encoded, reinterpret_cast<unsigned char*>(scratch_), sizeof scratch_) <
            0) {
            fail("Auth CRAM-MD5 challenge is not Base64");
            return;
        }
        DebugLog("key=[%s]", scratch_);
        unsigned char digest[16];
        HmacMd5(reinterpret_cast<const unsigned char*>(scratch_),
                static_cast<int>(std::strlen(scratch_)),
                reinterpret_cast<const unsigned char*>(entry_.Passwd.data()),
                static_cast<int>(entry_.Passwd.size()), digest);
        std::string response = entry_.User + " ";
        char hex[3];
        for (const unsigned char byte : digest) {
            std::snprintf(hex, sizeof hex, "%02x", byte);
            response += hex;
        }
        Wipe(digest, sizeof digest);
        // The digest beside the challenge would let anyone who reads the trace try passwords
        // offline: only the user name is shown, and the response line leaves untraced.
        DebugLog("CODE=%s", entry_.User.c_str());
        const bool responseFits = encodeLine(response);
        Wipe(response);
        if (responseFits) {
            sendServerLine(task_, scratch_, false);
            Wipe(scratch_, sizeof scratch_);
            DebugLog("Send CRAM-MD5 response");
        }
    }

    const ProxyData& entry_;
    SocketTask& task_;
    const int server_;
    char* line_;
    const std::size_t size_;
    char word_[limits::kLineBuffer] = {};
    char scratch_[limits::kLineBuffer] = {};
    std::int32_t method_ = MethodAuto;
    int step_ = 0;
    std::string token_; // XOAUTH2 access token
    bool tokenErrorAnswered_ = false;
};

} // namespace

int skipContinuation(SocketTask& task, int serverSocket, char* line, std::size_t size,
                     std::int32_t* method) {
    bool choose = method != nullptr;
    while (std::strlen(line) > 3 && line[3] == '-') {
        if (getLine(task, serverSocket, line, size) != 0) {
            task.stop();
            break;
        }
        if (choose && isCommand(line, "250-AUTH")) {
            *method = methodFromAuthLine(line + 8);
            choose = false;
        }
    }
    // A server may list AUTH on its reply's last line only.
    if (choose && task.running() && isCommand(line, "250 AUTH")) {
        *method = methodFromAuthLine(line + 8);
    }
    return task.running() ? 0 : -1;
}

int authServer(const ProxyData& entry, SocketTask& task, char* line, std::size_t size,
               bool greetingRead) {
    UpstreamLogin login(entry, task, line, size);
    if (!login.prepareSecret()) {
        return -1;
    }
    if (greetingRead) {
        login.greetingAlreadyRead();
    }
    return login.run();
}
