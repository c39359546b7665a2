#include "FieldRules.h"

#include "server/OAuthTokens.h"

#include <limits>

#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLineEdit>

namespace fieldrules {

namespace {

// Control characters (backspace, delete, the clipboard keys' codes) pass every rule, except
// tab: editing keys always work. Delete arrives as the character 127.
bool PassingControl(char32_t c) {
    return (c < 32 && c != 9) || c == 127;
}

bool HexDigit(char32_t c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool AsciiLetterOrDigit(char32_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// Splits `text` into what `rule` accepts; gives true when every character was accepted.
bool KeepAccepted(const QString& text, CharRule rule, QString& printableKept) {
    bool all = true;
    for (char32_t c : text.toUcs4()) {
        if (!rule(c)) {
            all = false;
        } else if (!PassingControl(c)) {
            printableKept.append(QString::fromUcs4(&c, 1));
        }
    }
    return all;
}

} // namespace

bool HostCharAccepted(char32_t c) {
    return AsciiLetterOrDigit(c) || c == '-' || c == '.' || PassingControl(c);
}

bool ListenAddressCharAccepted(char32_t c) {
    return HostCharAccepted(c) || c == ':';
}

bool PortCharAccepted(char32_t c) {
    return (c >= '0' && c <= '9') || PassingControl(c);
}

bool FingerprintCharAccepted(char32_t c) {
    return HexDigit(c) || c == ':' || PassingControl(c);
}

bool FingerprintAccepted(const QString& text) {
    constexpr int kSha256HexDigits = 64;
    int digits = 0;
    for (QChar ch : text) {
        if (HexDigit(ch.unicode())) {
            ++digits;
        } else if (ch != QLatin1Char(':')) {
            return false;
        }
    }
    return text.isEmpty() || digits == kSha256HexDigits;
}

bool OAuthUrlAccepted(const QString& text) {
    return oauthUrlAllowed(text.toStdString()); // the engine's own rule, so both agree
}

std::optional<std::int32_t> ParsePositiveInt(const QString& text) {
    if (text.isEmpty()) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    for (QChar ch : text) {
        if (ch < QChar('0') || ch > QChar('9')) {
            return std::nullopt;
        }
        value = value * 10 + (ch.unicode() - '0');
        if (value > std::numeric_limits<std::int32_t>::max()) {
            return std::nullopt;
        }
    }
    if (value <= 0) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

bool FitsBytes(const QString& text, std::size_t maxBytes) {
    return static_cast<std::size_t>(text.toUtf8().size()) <= maxBytes;
}

bool FilterTypedText(QLineEdit* edit, QEvent* event, CharRule rule) {
    QString kept;
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        // Tab and Backtab move the focus before a field sees them; they never type a character.
        if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) {
            return false;
        }
        if (key->matches(QKeySequence::Paste) ||
            (key->modifiers() & (Qt::ControlModifier | Qt::MetaModifier))) {
            return false;
        }
        if (key->text().isEmpty() || KeepAccepted(key->text(), rule, kept)) {
            return false;
        }
    } else if (event->type() == QEvent::InputMethod) {
        auto* im = static_cast<QInputMethodEvent*>(event);
        if (im->commitString().isEmpty() || KeepAccepted(im->commitString(), rule, kept)) {
            return false;
        }
    } else {
        return false;
    }
    if (!kept.isEmpty()) {
        edit->insert(kept);
    }
    return true;
}

void DisableInputMethod(QLineEdit* edit) {
    edit->setAttribute(Qt::WA_InputMethodEnabled, false);
    edit->setInputMethodHints(Qt::ImhLatinOnly | Qt::ImhNoPredictiveText);
}

} // namespace fieldrules
