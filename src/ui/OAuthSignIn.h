// Browser sign-in for an XOAUTH2 entry: the OAuth 2.0 authorization code flow with PKCE (S256)
// for a native application. A listener on a free loopback port takes the browser's one
// redirect, checks its `state`, answers with a short page, and the code is exchanged for the
// tokens at the entry's token endpoint on a worker thread. What the program keeps is the refresh
// token.
//
// User-interface thread only. Cancel (or destroying the object) stops listening and drops the
// outcome of an exchange still under way.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include "WorkerLink.h"
#include "config/Proxydata.h"

class QTcpServer;
class QTcpSocket;

class OAuthSignIn : public QObject {
    Q_OBJECT

  public:
    explicit OAuthSignIn(QObject* parent = nullptr);
    ~OAuthSignIn() override;

    // Starts a sign-in with the entry's endpoints, client, scope and user: listens, and opens
    // the authorization page in the user's browser. False, with the reason, when it cannot.
    bool Start(const ProxyData& entry, QString& why);
    void Cancel();
    bool Running() const;

    // The authorization page's address for a sign-in (what is opened in the browser).
    static QUrl AuthorizationUrl(const ProxyData& entry, const QString& redirectUri,
                                 const QString& state, const QString& codeChallenge);

  signals:
    // A step of a sign-in under way, in words for the user.
    void Progress(const QString& text);
    // The end of a sign-in: with ok, the refresh token to keep; else why it failed.
    void Finished(bool ok, const QString& message, const std::string& refreshToken);

  private:
    using Link = WorkerLink<OAuthSignIn>;

    void TakeConnections(QTcpServer* listener);
    void ReadRequest(QTcpSocket* socket);
    // Answers one request; the redirect of this sign-in ends the waiting.
    void HandleRedirect(QTcpSocket* socket, const QByteArray& target);
    void Exchange(const std::string& code);
    void StopListening();
    void End(bool ok, const QString& message, const std::string& refreshToken = {});

    ProxyData entry_;
    std::string verifier_;
    QString state_;
    QString redirectUri_;
    std::vector<QTcpServer*> listeners_;
    QTimer deadline_;
    std::shared_ptr<Link> exchange_; // while the code exchange runs
};
