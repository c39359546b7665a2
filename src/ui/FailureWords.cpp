#include "FailureWords.h"

namespace {

bool IsReplyLine(const std::string& failure) {
    return failure.size() >= 3 && failure[0] >= '2' && failure[0] <= '5' && failure[1] >= '0' &&
           failure[1] <= '9' && failure[2] >= '0' && failure[2] <= '9';
}

} // namespace

QString HintWords(FailureHint hint) {
    switch (hint) {
    case FailureHint::AppPassword:
        return QStringLiteral("このアカウントにはアプリパスワードが必要です。プロバイダーで"
                              "発行したアプリパスワードをパスワード欄に設定してください。");
    case FailureHint::AuthDisabled:
        return QStringLiteral("プロバイダーがこのアカウントの SMTP AUTH を無効にしています。");
    case FailureHint::BadCredentials:
        return QStringLiteral("ユーザー名またはパスワードが受け付けられませんでした。");
    case FailureHint::TlsFirst:
        return QStringLiteral(
            "サーバーは先に TLS を求めています。暗号化で STARTTLS を選んでください。");
    case FailureHint::SignInAgain:
        return QStringLiteral(
            "サインインの期限が切れたか取り消されました。もう一度サインインしてください。");
    case FailureHint::CertName:
        return QStringLiteral("サーバー証明書がこのサーバー名のものではありません。サーバー名を"
                              "確かめるか、この証明書のフィンガープリントを設定してください。");
    case FailureHint::CertUnknownCa:
        return QStringLiteral("サーバー証明書の発行元が不明です。CA証明書かフィンガープリントを"
                              "設定してください。");
    case FailureHint::CertExpired:
        return QStringLiteral("サーバー証明書の有効期限が切れています。");
    case FailureHint::None:
        break;
    }
    return {};
}

QString FailureWords(const std::string& failure, int maxChars) {
    QString text;
    for (const QChar c : QString::fromUtf8(failure)) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) {
            text += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        } else {
            text += c;
        }
    }
    if (maxChars > 0 && text.size() > maxChars) {
        text = text.left(maxChars) + QStringLiteral("...");
    }
    return text;
}

QString FailureTitle(const EngineEvent& event) {
    return QStringLiteral("%1 の送信に失敗しました").arg(QString::fromStdString(event.domain));
}

QString FailureMessage(const EngineEvent& event) {
    QString text = QStringLiteral("サーバー: %1\n").arg(QString::fromStdString(event.server));
    text += IsReplyLine(event.failure) ? QStringLiteral("サーバーの応答: ")
                                       : QStringLiteral("エラー: ");
    text += FailureWords(event.failure);
    const QString hint = HintWords(event.hintKind);
    if (!hint.isEmpty()) {
        text += QLatin1Char('\n') + hint;
    }
    if (event.temporary) {
        text += QStringLiteral("\n（メールソフトには再送するよう伝えました）");
    }
    return text;
}
