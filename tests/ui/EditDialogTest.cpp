// The entry dialog: which fields enable OK, what the key filters let through, and that Enter and
// Esc press no button.
#include <tuple>

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "FormEditData.h"
#include "FormMain.h"
#include "FormOption.h"
#include "UiFixture.h"
#include "config/Proxydata.h"

namespace {

using uitest::UiTest;

class EditDialogTest : public UiTest {
  protected:
    void SetUp() override {
        UiTest::SetUp();
        Start({});
        dlg_ = w_.FrmEditData;
    }
    QLineEdit* E(const char* name) const { return Edit(dlg_, name); }
    bool OkEnabled() const { return Button(dlg_, "ButtonOK")->isEnabled(); }

    TFrmEditData* dlg_ = nullptr;
};

// Sends one typed character as a key press carrying it as text, as a keyboard layout would.
void Type(QWidget* field, const QString& ch) {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, ch);
    QApplication::sendEvent(field, &press);
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, ch);
    QApplication::sendEvent(field, &release);
}

TEST_F(EditDialogTest, OkFollowsTheValidityOfEveryField) {
    const QString big299(299, QLatin1Char('d'));
    const QString big300(300, QLatin1Char('d'));
    const struct {
        QString domain, smtp, user, passwd, port;
        int method;
        bool ok;
        const char* why;
    } rows[] = {
        {"example.jp", "smtp.example.jp", "u", "p", "25", 1, true, "all filled"},
        {"", "smtp.example.jp", "u", "p", "25", 1, false, "no domain"},
        {"example.jp", "", "u", "p", "25", 1, false, "no server"},
        {"example.jp", "smtp.example.jp", "", "p", "25", 1, false, "no user"},
        {"example.jp", "smtp.example.jp", "u", "", "25", 1, false, "no password"},
        {"example.jp", "smtp.example.jp", "", "", "25", 0, false, "NONE still needs a login"},
        {"example.jp", "smtp.example.jp", "u", "p", "", 1, false, "no port"},
        {"example.jp", "smtp.example.jp", "u", "p", "0", 1, false, "port 0"},
        {"example.jp", "smtp.example.jp", "u", "p", "4294967296", 1, false, "port beyond 32 bits"},
        {"example.jp", "smtp.example.jp", "u", "p", "70000", 1, true, "no 65535 limit"},
        {"example.jp", "smtp.example.jp", "u", "p", "12ab", 1, false, "pasted letters in port"},
        {big299, "smtp.example.jp", "u", "p", "25", 1, true, "299-byte domain survives a load"},
        {big300, "smtp.example.jp", "u", "p", "25", 1, false, "300-byte domain would be cut"},
        {"example.jp", big300, "u", "p", "25", 1, false, "300-byte server would be cut"},
        {"example.jp", "smtp.example.jp", big300, "p", "25", 1, false, "300-byte user"},
        {"example.jp", "smtp.example.jp", "u", QString(222, QLatin1Char('p')), "25", 1, true,
         "222-byte password fits"},
        {"example.jp", "smtp.example.jp", "u", QString(223, QLatin1Char('p')), "25", 1, false,
         "223-byte password cannot be stored"},
    };
    for (const auto& row : rows) {
        dlg_->WorkEntry.Init(-1);
        dlg_->FillFields();
        E("EditDomain")->setText(row.domain);
        E("EditSMTP")->setText(row.smtp);
        E("EditUser")->setText(row.user);
        E("EditPasswd")->setText(row.passwd);
        E("EditPort")->setText(row.port);
        dlg_->findChild<QComboBox*>("ComboBoxMethod")->setCurrentIndex(row.method);
        EXPECT_EQ(dlg_->CheckFields(), row.ok) << row.why;
        EXPECT_EQ(OkEnabled(), row.ok) << row.why;
    }
    // The protection fields, on top of a valid entry: a fingerprint is empty or 64 hex digits.
    E("EditPasswd")->setText("p");
    const std::tuple<const char*, QString, bool> tls[] = {
        {"EditFingerprint", QString(64, 'a'), true}, {"EditFingerprint", QString(63, 'a'), false},
        {"EditFingerprint", ":::", false},           {"EditFingerprint", QString(64, 'g'), false},
        {"EditCAFile", QString(299, 'c'), true},     {"EditCAFile", QString(300, 'c'), false}};
    for (const auto& [field, text, ok] : tls) {
        E(field)->setText(text);
        EXPECT_EQ(OkEnabled(), ok) << field << " " << text.toStdString();
        E(field)->clear();
    }
}

TEST_F(EditDialogTest, NewEntryShowsDefaultsWithOkDisabled) {
    WithModal(
        dlg_, [&] { dlg_->EditNew(); },
        [&] {
            EXPECT_EQ(dlg_->findChild<QComboBox*>("ComboBoxMethod")->currentText(), "AUTO");
            EXPECT_EQ(E("EditPort")->text(), "25");
            for (const char* name : {"EditDomain", "EditSMTP", "EditUser", "EditPasswd"}) {
                EXPECT_TRUE(E(name)->text().isEmpty()) << name;
            }
            EXPECT_FALSE(OkEnabled());
            EXPECT_EQ(E("EditPasswd")->echoMode(), QLineEdit::Password);
        });
}

TEST_F(EditDialogTest, KeyFiltersDropCharactersBeforeTheyReachTheField) {
    const struct {
        QWidget* dialog;
        const char* field;
        QString typed;
        QString kept;
    } rows[] = {
        {w_.FrmEditData, "EditDomain", "ex_am ple:jp@x", "examplejpx"},
        {w_.FrmEditData, "EditSMTP", "smtp-1.Example.JP", "smtp-1.Example.JP"},
        {w_.FrmEditData, "EditSMTP", "a_b c", "abc"},
        {w_.FrmEditData, "EditPort", "2a5 :-", "25"},
        {w_.FrmOption, "EditAddress", "::1_ x", "::1x"},
        {w_.FrmOption, "EditPort", "8x0.8", "808"},
    };
    for (const auto& row : rows) {
        QLineEdit* field = Edit(row.dialog, row.field);
        field->clear();
        for (QChar ch : row.typed) {
            Type(field, QString(ch));
        }
        EXPECT_EQ(field->text(), row.kept) << row.field << " typed " << row.typed.toStdString();
    }
}

TEST_F(EditDialogTest, NonAsciiTabAndComposedTextAreDropped) {
    for (const char* name : {"EditDomain", "EditSMTP", "EditPort"}) {
        QLineEdit* field = E(name);
        field->setText("1");
        Type(field, QStringLiteral("あ"));
        Type(field, QStringLiteral("é"));
        Type(field, QStringLiteral("\t"));
        QTest::keyClick(field, Qt::Key_Tab);
        QInputMethodEvent composed;
        composed.setCommitString(QStringLiteral("日本"));
        QApplication::sendEvent(field, &composed);
        EXPECT_EQ(field->text(), "1") << name;
        EXPECT_FALSE(field->testAttribute(Qt::WA_InputMethodEnabled)) << name;
    }
}

TEST_F(EditDialogTest, PastedTextIsNotFiltered) {
    QApplication::clipboard()->setText(QStringLiteral("a_b c:1"));
    for (const char* name : {"EditDomain", "EditPort"}) {
        QLineEdit* field = E(name);
        field->clear();
        QTest::keyClick(field, Qt::Key_V, Qt::ControlModifier);
        EXPECT_EQ(field->text(), "a_b c:1") << name;
    }
    QLineEdit* address = Edit(w_.FrmOption, "EditAddress");
    address->clear();
    QTest::keyClick(address, Qt::Key_Insert, Qt::ShiftModifier);
    EXPECT_EQ(address->text(), "a_b c:1");
    // The pasted port is kept, and OK is then disabled.
    E("EditDomain")->setText("d");
    E("EditSMTP")->setText("s");
    E("EditUser")->setText("u");
    E("EditPasswd")->setText("p");
    EXPECT_FALSE(OkEnabled());
}

TEST_F(EditDialogTest, EditingKeysWorkInFilteredFields) {
    // As a keyboard sends them: Delete and Backspace carry their control character as text.
    const std::pair<int, const char*> keys[] = {{Qt::Key_Home, ""}, {Qt::Key_Delete, "\x7f"},
                                                {Qt::Key_End, ""},  {Qt::Key_Backspace, "\b"},
                                                {Qt::Key_Left, ""}, {Qt::Key_Delete, "\x7f"}};
    for (QLineEdit* field : {E("EditDomain"), E("EditSMTP"), E("EditPort"),
                             Edit(w_.FrmOption, "EditPort"), Edit(w_.FrmOption, "EditAddress")}) {
        field->setText("12345");
        for (const auto& [code, text] : keys) {
            QKeyEvent press(QEvent::KeyPress, code, Qt::NoModifier, QString::fromLatin1(text));
            QApplication::sendEvent(field, &press);
        }
        EXPECT_EQ(field->text(), "23") << field->objectName().toStdString();
    }
}

TEST_F(EditDialogTest, EachOpeningStartsInTheDomainField) {
    Button(dlg_, "ButtonCancel")->setFocus(); // as when it was pressed last time
    WithModal(
        dlg_, [&] { dlg_->EditNew(); }, [&] { EXPECT_EQ(dlg_->focusWidget(), E("EditDomain")); });
}

TEST_F(EditDialogTest, EnterAndEscPressNeitherButton) {
    WithModal(
        dlg_, [&] { dlg_->EditNew(); },
        [&] {
            QTest::keyClicks(E("EditDomain"), "example.jp");
            QTest::keyClicks(E("EditSMTP"), "smtp.example.jp");
            QTest::keyClicks(E("EditUser"), "u");
            QTest::keyClicks(E("EditPasswd"), "p");
            ASSERT_TRUE(OkEnabled());
            Button(dlg_, "ButtonOK")->setFocus();
            QTest::keyClick(E("EditPasswd"), Qt::Key_Return);
            QTest::keyClick(Button(dlg_, "ButtonOK"), Qt::Key_Return);
            QTest::keyClick(dlg_, Qt::Key_Escape);
            EXPECT_TRUE(dlg_->isVisible());
        });
    EXPECT_EQ(ProxyList.Count(), 0);
    EXPECT_EQ(Key("Proxy", "Domain000"), "");
}

} // namespace

namespace {

TEST_F(EditDialogTest, Xoauth2TakesProviderAndSignInFieldsInsteadOfThePassword) {
    auto* method = dlg_->findChild<QComboBox*>("ComboBoxMethod");
    auto* provider = dlg_->findChild<QComboBox*>("ComboBoxProvider");
    auto* security = dlg_->findChild<QComboBox*>("ComboBoxSecurity");
    const auto shown = [&](const char* name) {
        return !dlg_->findChild<QWidget*>(name)->isHidden();
    };
    const auto choose = [](QComboBox* combo, int item) { // as the user does
        combo->setCurrentIndex(item);
        emit combo->activated(item);
    };
    WithModal(
        dlg_, [&] { dlg_->EditNew(); },
        [&] {
            E("EditDomain")->setText("example.com");
            E("EditSMTP")->setText("smtp.gmail.com");
            E("EditUser")->setText("u@example.com");
            choose(method, MethodXoauth2);
            EXPECT_FALSE(shown("EditPasswd"));
            EXPECT_TRUE(shown("ComboBoxProvider") && shown("PanelOAuth"));
            EXPECT_FALSE(shown("PanelOAuthUrls")) << "a preset's endpoints are not for editing";
            EXPECT_EQ(provider->currentText(), "Google") << "guessed from the server's name";
            EXPECT_EQ(E("EditTokenUrl")->text(), "https://oauth2.googleapis.com/token");
            EXPECT_EQ(E("EditScope")->text(), "https://mail.google.com/");
            EXPECT_FALSE(OkEnabled()) << "no client id";
            E("EditClientId")->setText("id-1");
            EXPECT_TRUE(OkEnabled()) << "no password needed";
            security->setCurrentIndex(SecurityNone);
            EXPECT_FALSE(OkEnabled());
            EXPECT_TRUE(dlg_->findChild<QLabel*>("LabelOAuthStatus")->text().contains("暗号化"));
            security->setCurrentIndex(SecurityStartTls);
            choose(provider, 0);
            EXPECT_EQ(E("EditAuthUrl")->text(),
                      "https://login.microsoftonline.com/common/oauth2/v2.0/authorize");
            EXPECT_EQ(E("EditScope")->text(),
                      "https://outlook.office.com/SMTP.Send offline_access");
            choose(provider, 2);
            EXPECT_TRUE(shown("PanelOAuthUrls"));
            for (const char* clear :
                 {"http://idp.example.net/token", "http://127.evil.example/t"}) {
                E("EditTokenUrl")->setText(clear);
                EXPECT_FALSE(OkEnabled()) << clear << ": a token must not cross a network in clear";
            }
            E("EditTokenUrl")->setText("http://127.0.0.1:8080/token");
            ASSERT_TRUE(OkEnabled());
            Button(dlg_, "ButtonOK")->click();
        });
    EXPECT_EQ(Key("Proxy", "Method000"), "5");
    EXPECT_EQ(Key("Proxy", "OAuthTokenUrl000"), "http://127.0.0.1:8080/token");

    // A refresh token that a session stored while the dialog was open is not overwritten.
    WithModal(
        dlg_, [&] { dlg_->EditExisting(0); },
        [&] {
            ProxyData rotated = dlg_->WorkEntry;
            rotated.OAuthRefresh = "rt-rotated";
            rotated.Save();
            choose(method, MethodLogin);
            EXPECT_TRUE(shown("EditPasswd"));
            EXPECT_FALSE(shown("PanelOAuth") || shown("ComboBoxProvider"));
            choose(method, MethodXoauth2);
            Button(dlg_, "ButtonOK")->click();
        });
    EXPECT_EQ(Key("Proxy", "OAuthRefresh000"), QByteArray("rt-rotated").toBase64().toStdString());
}

} // namespace
