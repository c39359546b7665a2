#include "OAuthSignIn.h"

#include <cstring>
#include <thread>

#include <QCryptographicHash>
#include <QDesktopServices>
#include <QRandomGenerator>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>
#include <QUrlQuery>

#include "Limits.h"
#include "server/OAuthTokens.h"

namespace {

constexpr auto kBase64Url = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;

QByteArray RandomText(int bytes) {
    QByteArray random(bytes, '\0');
    QRandomGenerator::system()->generate(random.begin(), random.end());
    return random.toBase64(kBase64Url);
}

bool HostIs(const QUrl& url, const char* domain) {
    const QString host = url.host().toLower();
    const QString name = QString::fromLatin1(domain);
    return host == name || host.endsWith(QLatin1Char('.') + name);
}

void Respond(QTcpSocket* socket, const char* status, const QString& message) {
    const QByteArray body = QStringLiteral("<!DOCTYPE html><html><head><meta charset=\"utf-8\">"
                                           "<title>Vellomir</title></head><body><h1>Vellomir</h1>"
                                           "<p>%1</p></body></html>")
                                .arg(message.toHtmlEscaped())
                                .toUtf8();
    socket->write(QByteArray("HTTP/1.1 ") + status +
                  "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                  QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    socket->disconnectFromHost(); // after what was written has gone
}

} // namespace

OAuthSignIn::OAuthSignIn(QObject* parent) : QObject(parent) {
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this,
            [this] { End(false, QStringLiteral("時間内にサインインが終わりませんでした。")); });
}

OAuthSignIn::~OAuthSignIn() {
    Cancel();
}

QUrl OAuthSignIn::AuthorizationUrl(const ProxyData& entry, const QString& redirectUri,
                                   const QString& state, const QString& codeChallenge) {
    QUrl url(QString::fromStdString(entry.OAuthAuthUrl));
    QString scope = QString::fromStdString(entry.OAuthScope);
    const bool microsoft = HostIs(url, "login.microsoftonline.com");
    // Without it Microsoft gives no refresh token, and the entry could not log in tomorrow.
    if (microsoft && !scope.split(QLatin1Char(' ')).contains(QLatin1String("offline_access"))) {
        scope = (scope + QLatin1String(" offline_access")).trimmed();
    }
    QStringList fields = {QStringLiteral("response_type=code")};
    const auto add = [&fields](const char* key, const QString& value) {
        fields << QString::fromLatin1(key) + QLatin1Char('=') +
                      QString::fromLatin1(QUrl::toPercentEncoding(value));
    };
    add("client_id", QString::fromStdString(entry.OAuthClientId));
    add("redirect_uri", redirectUri);
    if (!scope.isEmpty()) {
        add("scope", scope);
    }
    add("state", state);
    add("code_challenge", codeChallenge);
    add("code_challenge_method", QStringLiteral("S256"));
    if (!entry.User.empty()) {
        add("login_hint", QString::fromStdString(entry.User));
    }
    // Google gives a refresh token only for offline access, and again only after consent.
    if (HostIs(url, "accounts.google.com")) {
        add("access_type", QStringLiteral("offline"));
        add("prompt", QStringLiteral("consent"));
    }
    const QString given = url.query(QUrl::FullyEncoded);
    url.setQuery((given.isEmpty() ? QString() : given + QLatin1Char('&')) +
                     fields.join(QLatin1Char('&')),
                 QUrl::StrictMode);
    return url;
}

bool OAuthSignIn::Start(const ProxyData& entry, QString& why) {
    Cancel();
    entry_ = entry;
    verifier_ = RandomText(32).toStdString(); // 43 characters, the least RFC 7636 allows
    state_ = QString::fromLatin1(RandomText(16));
    const QString challenge = QString::fromLatin1(
        QCryptographicHash::hash(QByteArray::fromStdString(verifier_), QCryptographicHash::Sha256)
            .toBase64(kBase64Url));

    // RFC 8252 wants the loopback literal; Microsoft's registrations accept only "localhost"
    // (with any port), which a browser may look up as ::1 first: listen there too.
    const bool microsoft =
        HostIs(QUrl(QString::fromStdString(entry.OAuthAuthUrl)), "login.microsoftonline.com");
    auto* v4 = new QTcpServer(this);
    if (!v4->listen(QHostAddress::LocalHost, 0)) {
        delete v4;
        why = QStringLiteral("待ち受けポートを開けませんでした。");
        return false;
    }
    listeners_.push_back(v4);
    if (microsoft) {
        auto* v6 = new QTcpServer(this);
        if (v6->listen(QHostAddress::LocalHostIPv6, v4->serverPort())) {
            listeners_.push_back(v6);
        } else {
            delete v6;
        }
    }
    for (QTcpServer* listener : listeners_) {
        connect(listener, &QTcpServer::newConnection, this,
                [this, listener] { TakeConnections(listener); });
    }
    redirectUri_ = QStringLiteral("http://%1:%2/")
                       .arg(microsoft ? QStringLiteral("localhost") : QStringLiteral("127.0.0.1"))
                       .arg(v4->serverPort());

    if (!QDesktopServices::openUrl(AuthorizationUrl(entry_, redirectUri_, state_, challenge))) {
        StopListening();
        why = QStringLiteral("ブラウザを開けませんでした。");
        return false;
    }
    deadline_.start(limits::kSignInMillis);
    emit Progress(QStringLiteral("ブラウザでサインインしてください…"));
    return true;
}

bool OAuthSignIn::Running() const {
    return !listeners_.empty() || exchange_ != nullptr;
}

void OAuthSignIn::Cancel() {
    StopListening();
    if (exchange_) {
        exchange_->cancel.store(true);
        exchange_.reset();
    }
}

void OAuthSignIn::StopListening() {
    deadline_.stop();
    for (QTcpServer* listener : listeners_) {
        listener->close();
        listener->deleteLater();
    }
    listeners_.clear();
}

void OAuthSignIn::TakeConnections(QTcpServer* listener) {
    while (QTcpSocket* socket = listener->nextPendingConnection()) {
        // The socket outlives the listener, to finish its answer.
        socket->setParent(this);
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { ReadRequest(socket); });
    }
}

void OAuthSignIn::ReadRequest(QTcpSocket* socket) {
    // A browser may open connections it never uses; each is read on its own.
    QByteArray request = socket->property("request").toByteArray() + socket->readAll();
    if (request.size() > limits::kRedirectRequestMax) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    socket->setProperty("request", request);
    if (!request.contains("\r\n\r\n")) {
        return;
    }
    const QList<QByteArray> words = request.left(request.indexOf("\r\n")).split(' ');
    if (words.size() != 3 || words[0] != "GET" || listeners_.empty()) {
        Respond(socket, "400 Bad Request", QStringLiteral("このページは使われていません。"));
        return;
    }
    socket->disconnect(this); // one answer per connection
    HandleRedirect(socket, words[1]);
}

void OAuthSignIn::HandleRedirect(QTcpSocket* socket, const QByteArray& target) {
    const QUrl url(QStringLiteral("http://localhost") + QString::fromLatin1(target));
    const QUrlQuery query(url);
    // Only the redirect of this sign-in counts: another page, or another state (a request
    // this program did not make), is turned away and the wait goes on.
    if (url.path() != QLatin1String("/") ||
        query.queryItemValue(QStringLiteral("state"), QUrl::FullyDecoded) != state_) {
        Respond(socket, "404 Not Found", QStringLiteral("このページは使われていません。"));
        return;
    }
    const QString error = query.queryItemValue(QStringLiteral("error"), QUrl::FullyDecoded);
    const QString code = query.queryItemValue(QStringLiteral("code"), QUrl::FullyDecoded);
    if (!error.isEmpty() || code.isEmpty()) {
        const QString description =
            query.queryItemValue(QStringLiteral("error_description"), QUrl::FullyDecoded);
        Respond(socket, "200 OK", QStringLiteral("サインインできませんでした。"));
        End(false, QStringLiteral("サインインできませんでした: %1 %2")
                       .arg(error.isEmpty() ? QStringLiteral("no code") : error, description)
                       .trimmed());
        return;
    }
    Respond(socket, "200 OK",
            QStringLiteral("サインインしました。このページを閉じて、Vellomirに戻ってください。"));
    StopListening();
    Exchange(code.toStdString());
}

void OAuthSignIn::Exchange(const std::string& code) {
    emit Progress(QStringLiteral("トークンを取得しています…"));
    exchange_ = std::make_shared<Link>(this);
    std::thread([link = exchange_, entry = entry_, code, verifier = verifier_,
                 redirect = redirectUri_.toStdString()] {
        std::string access;
        std::string refresh;
        long expiresIn = 0;
        const TokenOutcome outcome = requestTokensForCode(
            entry, code, verifier, redirect, limits::kReplyMillis, access, expiresIn, refresh);
        explicit_bzero(access.data(), access.size());
        Link::post(link, [outcome, refresh](OAuthSignIn* signIn) {
            signIn->exchange_.reset();
            if (!outcome.ok) {
                signIn->End(false, QStringLiteral("トークンを取得できませんでした: ") +
                                       QString::fromStdString(outcome.error));
            } else if (refresh.empty()) {
                signIn->End(false,
                            QStringLiteral("リフレッシュトークンが返されませんでした"
                                           "（スコープに offline_access などが必要です）。"));
            } else {
                signIn->End(true, QStringLiteral("サインインしました。"), refresh);
            }
        });
        explicit_bzero(refresh.data(), refresh.size());
    }).detach();
}

void OAuthSignIn::End(bool ok, const QString& message, const std::string& refreshToken) {
    Cancel();
    emit Finished(ok, message, refreshToken);
}
