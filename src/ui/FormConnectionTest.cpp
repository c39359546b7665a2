#include "FormConnectionTest.h"

#include <thread>

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "AppSetup.h"
#include "FailureWords.h"
#include "config/Proxydata.h"
#include "server/EngineEvents.h"
#include "server/Server.h"

TFrmConnectionTest::TFrmConnectionTest(QWidget* parent)
    : QDialog(parent), LabelResult(new QLabel(this)), MemoTranscript(new QPlainTextEdit(this)),
      ButtonAbort(new QPushButton(QStringLiteral("中止"), this)),
      ButtonClose(new QPushButton(QStringLiteral("閉じる"), this)) {
    setObjectName(QStringLiteral("FrmConnectionTest"));
    setWindowTitle(QStringLiteral("接続テスト"));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowModality(Qt::WindowModal);
    setFont(ProgramFont());
    LabelResult->setObjectName(QStringLiteral("LabelResult"));
    LabelResult->setWordWrap(true);
    // Room for the outcome, a long reply and its hint from the start: the transcript below keeps
    // its size, and its last line stays in view.
    LabelResult->setMinimumHeight(LabelResult->fontMetrics().lineSpacing() * 3);
    LabelResult->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    LabelResult->setTextInteractionFlags(Qt::TextSelectableByMouse);
    MemoTranscript->setObjectName(QStringLiteral("MemoTranscript"));
    MemoTranscript->setReadOnly(true);
    MemoTranscript->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere); // Base64 lines
    ButtonAbort->setObjectName(QStringLiteral("ButtonAbort"));
    ButtonClose->setObjectName(QStringLiteral("ButtonClose"));
    for (QPushButton* button : {ButtonAbort, ButtonClose}) {
        button->setAutoDefault(false);
        button->setMinimumSize(71, 28);
    }

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ButtonAbort);
    buttons->addWidget(ButtonClose);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(LabelResult);
    layout->addWidget(MemoTranscript, 1);
    layout->addLayout(buttons);
    resize(480, 340);

    connect(ButtonAbort, &QPushButton::clicked, this, &TFrmConnectionTest::ButtonAbortClick);
    connect(ButtonClose, &QPushButton::clicked, this, &QDialog::close);
}

TFrmConnectionTest::~TFrmConnectionTest() {
    Abandon();
}

void TFrmConnectionTest::Start(const ProxyData& entry) {
    LabelResult->setText(QStringLiteral("%1:%2 に接続しています…")
                             .arg(QString::fromStdString(entry.SMTP))
                             .arg(entry.Port));
    ButtonAbort->setEnabled(true);
    show();
    link_ = std::make_shared<Link>(this);
    // The worker owns its copy of the entry (its secrets are wiped when the copy goes) and its
    // share of the link; nothing else of the window.
    std::thread([link = link_, entry] {
        const ConnectionTestResult result =
            testUpstream(entry, link->cancel, [&link](bool sent, const std::string& line) {
                Link::post(link, [sent, line](TFrmConnectionTest* window) {
                    window->AddLine(sent, line);
                });
            });
        Link::post(link, [result](TFrmConnectionTest* window) {
            window->Finish(result.ok, result.summary);
        });
    }).detach();
}

void TFrmConnectionTest::AddLine(bool sent, const std::string& line) {
    if (!sent) {
        lastReply_ = line;
    }
    MemoTranscript->appendPlainText((sent ? QStringLiteral("C: ") : QStringLiteral("S: ")) +
                                    QString::fromStdString(line));
}

void TFrmConnectionTest::Finish(bool ok, const std::string& summary) {
    link_.reset();
    ButtonAbort->setEnabled(false);
    QString text = (ok ? QStringLiteral("成功: ") : QStringLiteral("失敗: ")) +
                   QString::fromStdString(summary);
    if (!ok) {
        FailureHint hint = failureHintFor(summary);
        if (hint == FailureHint::None) {
            hint = failureHintFor(lastReply_);
        }
        if (hint != FailureHint::None) {
            text += QLatin1Char('\n') + HintWords(hint); // in the words of the notifications
        }
    }
    LabelResult->setText(text);
}

void TFrmConnectionTest::ButtonAbortClick() {
    if (!Running()) {
        return;
    }
    Abandon();
    ButtonAbort->setEnabled(false);
    LabelResult->setText(QStringLiteral("中止しました。"));
}

void TFrmConnectionTest::Abandon() {
    if (link_) {
        link_->cancel.store(true);
        link_.reset();
    }
}

void TFrmConnectionTest::closeEvent(QCloseEvent* event) {
    Abandon();
    QDialog::closeEvent(event);
}
