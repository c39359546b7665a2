// The entry dialog against real peers: the connection test with the aiosmtpd upstream of the
// end-to-end tests, the browser sign-in with their token endpoint (this test plays the browser),
// and a test cancelled while the server says nothing.
#include <QComboBox>
#include <QDesktopServices>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUrlQuery>

#include "FormConnectionTest.h"
#include "FormEditData.h"
#include "UiFixture.h"

namespace {

constexpr const char* kPassword = "Pa55-w0rd";
constexpr int kWaitMillis = 30000;

// The browser: opens the authorization page, follows its redirect to the program's listener,
// and keeps what that answered. First it sends the listener a redirect of another sign-in.
class Browser : public QObject {
    Q_OBJECT

  public:
    QString page;

  public slots:
    void open(const QUrl& url) {
        const QString redirect = QUrlQuery(url).queryItemValue("redirect_uri", QUrl::FullyDecoded);
        Get(QUrl(redirect + "?code=forged&state=forged"), [this, url](QNetworkReply* forged) {
            EXPECT_EQ(forged->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 404);
            Get(url, [this](QNetworkReply* authorize) {
                Get(authorize->header(QNetworkRequest::LocationHeader).toUrl(),
                    [this](QNetworkReply* done) { page = QString::fromUtf8(done->readAll()); });
            });
        });
    }

  private:
    template <typename Then> void Get(const QUrl& url, Then then) {
        QNetworkRequest request(url);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::ManualRedirectPolicy);
        QNetworkReply* reply = net_.get(request);
        connect(reply, &QNetworkReply::finished, this, [reply, then] {
            then(reply);
            reply->deleteLater();
        });
    }
    QNetworkAccessManager net_;
};

class UpstreamDialogTest : public uitest::UiTest {
  protected:
    // One upstream and token endpoint for the whole suite (its certificates take a while).
    static void SetUpTestSuite() {
        peers_ = new QProcess;
        peers_->setProcessEnvironment([] {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("PYTHONDONTWRITEBYTECODE", "1");
            return env;
        }());
        peers_->start("/usr/bin/python3", {VELLOMIR_E2E_DIR "/upstream.py", kPassword});
        while (!peers_->canReadLine() && peers_->waitForReadyRead(kWaitMillis)) {
        }
        info_ = QJsonDocument::fromJson(peers_->readLine()).object();
    }
    static void TearDownTestSuite() {
        peers_->closeWriteChannel();
        if (!peers_->waitForFinished(5000)) {
            peers_->kill();
            peers_->waitForFinished();
        }
        delete peers_;
    }

    void SetUp() override {
        UiTest::SetUp();
        ASSERT_TRUE(info_.contains("port")) << peers_->readAllStandardError().toStdString();
        Start({});
        dlg_ = w_.FrmEditData;
        dlg_->WorkEntry.Init(-1);
        dlg_->FillFields();
        const std::pair<const char*, QString> fields[] = {
            {"EditDomain", "example.com"},
            {"EditSMTP", "127.0.0.1"},
            {"EditUser", info_["user"].toString()},
            {"EditPort", QString::number(info_["port"].toInt())},
            {"EditCAFile", info_["ca"].toString()}};
        for (const auto& [name, text] : fields) {
            Edit(dlg_, name)->setText(text);
        }
        Combo("ComboBoxSecurity")->setCurrentIndex(SecurityStartTls);
    }

    QComboBox* Combo(const char* name) const { return dlg_->findChild<QComboBox*>(name); }

    // Runs a connection test with the dialog's values; gives the outcome line and the lines.
    std::pair<QString, QString> ConnectionTest() {
        Button(dlg_, "ButtonTest")->click();
        auto* window = dlg_->findChildren<TFrmConnectionTest*>().constLast();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !window->Running(); }, kWaitMillis));
        std::pair<QString, QString> shown = {window->findChild<QLabel*>("LabelResult")->text(),
                                             window->findChild<QPlainTextEdit*>()->toPlainText()};
        window->close();
        return shown;
    }

    static QProcess* peers_;
    static QJsonObject info_;
    TFrmEditData* dlg_ = nullptr;
};

QProcess* UpstreamDialogTest::peers_ = nullptr;
QJsonObject UpstreamDialogTest::info_;

TEST_F(UpstreamDialogTest, ConnectionTestShowsTheServersRepliesButNeverThePassword) {
    Combo("ComboBoxMethod")->setCurrentIndex(MethodPlain);
    for (const QString& password : {QString(kPassword), QStringLiteral("wrong-Pa55")}) {
        Edit(dlg_, "EditPasswd")->setText(password);
        const auto [result, lines] = ConnectionTest();
        const bool right = password == kPassword;
        EXPECT_TRUE(result.startsWith(right ? "成功" : "失敗")) << result.toStdString();
        EXPECT_TRUE(lines.contains("C: STARTTLS\nS: 220")) << lines.toStdString();
        EXPECT_TRUE(lines.contains(right ? "\nS: 235 " : "\nS: 535 ")) << lines.toStdString();
        EXPECT_TRUE(lines.contains("C: AUTH PLAIN ***\n")) << lines.toStdString();
        const QByteArray plain =
            "\0" + info_["user"].toString().toUtf8() + "\0" + password.toUtf8();
        for (const QString& secret : {password, QString::fromLatin1(plain.toBase64())}) {
            EXPECT_FALSE((result + lines).contains(secret));
        }
    }
}

TEST_F(UpstreamDialogTest, BrowserSignInGivesARefreshTokenThatLogsInAndIsSavedWithOk) {
    Browser browser;
    QDesktopServices::setUrlHandler("http", &browser, "open");
    WithModal(
        dlg_, [&] { dlg_->exec(); },
        [&] {
            Combo("ComboBoxMethod")->setCurrentIndex(MethodXoauth2);
            Combo("ComboBoxProvider")->setCurrentIndex(2);
            Edit(dlg_, "EditAuthUrl")->setText(info_["auth_url"].toString());
            Edit(dlg_, "EditTokenUrl")->setText(info_["token_url"].toString());
            Edit(dlg_, "EditClientId")->setText(info_["client_id"].toString());
            Button(dlg_, "ButtonSignIn")->click();
            ASSERT_TRUE(QTest::qWaitFor(
                [&] { return !dlg_->WorkEntry.OAuthRefresh.empty() && !browser.page.isEmpty(); },
                kWaitMillis))
                << dlg_->findChild<QLabel*>("LabelOAuthStatus")->text().toStdString();
            EXPECT_TRUE(browser.page.contains("サインインしました"));
            const auto [result, lines] = ConnectionTest();
            EXPECT_TRUE(result.startsWith("成功")) << result.toStdString();
            EXPECT_TRUE(lines.contains("C: AUTH XOAUTH2 ***\nS: 235 ")) << lines.toStdString();
            // A token is the client's: another client id asks for a new sign-in.
            Edit(dlg_, "EditClientId")->setText("another-client");
            EXPECT_TRUE(dlg_->findChild<QLabel*>("LabelOAuthStatus")->text().contains("し直して"));
            Edit(dlg_, "EditClientId")->setText(info_["client_id"].toString());
            Button(dlg_, "ButtonOK")->click();
        });
    QDesktopServices::unsetUrlHandler("http");
    EXPECT_EQ(Key("Proxy", "Method000"), "5");
    EXPECT_TRUE(QByteArray::fromBase64(QByteArray::fromStdString(Key("Proxy", "OAuthRefresh000")))
                    .startsWith("rt-"));
}

TEST_F(UpstreamDialogTest, AbortReturnsAtOnceAndTheWorkerEndsWithoutItsWindow) {
    QTcpServer silent; // accepts, and never says a word
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost));
    Edit(dlg_, "EditPort")->setText(QString::number(silent.serverPort()));
    Combo("ComboBoxSecurity")->setCurrentIndex(SecurityNone);
    Button(dlg_, "ButtonTest")->click();
    auto* window = dlg_->findChildren<TFrmConnectionTest*>().constLast();
    ASSERT_TRUE(silent.waitForNewConnection(kWaitMillis));
    QTcpSocket* upstream = silent.nextPendingConnection();
    window->findChild<QPushButton*>("ButtonAbort")->click();
    EXPECT_FALSE(window->Running());
    EXPECT_TRUE(window->findChild<QLabel*>("LabelResult")->text().startsWith("中止"));
    window->close();
    // The worker notices within a poll period, long before any deadline, and closes.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return upstream->state() != QAbstractSocket::ConnectedState; }, 5000));
}

} // namespace

#include "UpstreamDialogTest.moc"
