#include "TrayStatus.h"

#include <algorithm>

#include <QDateTime>

#include "FailureWords.h"
#include "Limits.h"

void TrayStatus::Record(const EngineEvent& event) {
    if (event.kind != EngineEvent::Kind::SessionFailed &&
        event.kind != EngineEvent::Kind::SessionRelayed) {
        return;
    }
    auto it = std::find_if(results_.begin(), results_.end(), [&](const EntryResult& r) {
        return r.domain == event.domain && r.server == event.server && r.user == event.user;
    });
    if (it == results_.end()) {
        results_.push_back({event.domain, event.server, event.user, 0, false, {}});
        it = std::prev(results_.end());
    }
    it->when = event.when;
    it->delivered = event.kind == EngineEvent::Kind::SessionRelayed;
    it->failure = it->delivered ? std::string() : event.failure;
}

void TrayStatus::Retain(const std::function<bool(const std::string&, const std::string&,
                                                 const std::string&)>& stillListed) {
    std::erase_if(results_,
                  [&](const EntryResult& r) { return !stillListed(r.domain, r.server, r.user); });
}

bool TrayStatus::AnyFailed() const {
    return std::any_of(results_.begin(), results_.end(),
                       [](const EntryResult& r) { return !r.delivered; });
}

QString TrayStatus::ToolTip(const QString& title, const QString& listening) const {
    QString text = title + QLatin1Char('\n') + listening;
    const QDate today = QDate::currentDate();
    for (const EntryResult& r : results_) {
        const QDateTime when = QDateTime::fromSecsSinceEpoch(r.when);
        const QString time = when.toString(when.date() == today ? QStringLiteral("HH:mm")
                                                                : QStringLiteral("M/d HH:mm"));
        text += QStringLiteral("\n%1 %2 ").arg(QString::fromStdString(r.domain), time);
        text += r.delivered ? QStringLiteral("送信済み")
                            : QStringLiteral("失敗: ") +
                                  FailureWords(r.failure, limits::kTooltipFailureChars);
    }
    return text;
}

QString ListeningWords(const std::string& address, int port) {
    const QString host = QString::fromStdString(address);
    return QStringLiteral("待受: %1:%2")
        .arg(host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host)
        .arg(port);
}
