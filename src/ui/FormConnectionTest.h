// The connection test's window: runs the upstream half of a session with the entry dialog's
// values (greeting, TLS, login, QUIT) on a worker thread and shows the outcome and every line
// exchanged, credentials as "***". Nothing is saved.
//
// User-interface thread only. Each test has a window of its own that deletes itself when
// closed; closing it or pressing 中止 returns control at once, and the worker, which ends
// within the session deadlines, then has nobody to report to.
#pragma once

#include <memory>
#include <string>

#include <QDialog>

#include "WorkerLink.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;
class ProxyData;
struct ConnectionTestResult;

class TFrmConnectionTest : public QDialog {
    Q_OBJECT

  public:
    explicit TFrmConnectionTest(QWidget* parent);
    ~TFrmConnectionTest() override;

    // Shows the window over its parent and starts the test of `entry` on a worker thread.
    void Start(const ProxyData& entry);
    bool Running() const { return link_ != nullptr; }

    void ButtonAbortClick();

    // What the worker reports: a line exchanged, and the outcome. Public so that the
    // documentation's rendering can show a sample run.
    void AddLine(bool sent, const std::string& line);
    void Finish(bool ok, const std::string& summary);

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    using Link = WorkerLink<TFrmConnectionTest>;

    void Abandon();

    QLabel* LabelResult;
    QPlainTextEdit* MemoTranscript;
    QPushButton* ButtonAbort;
    QPushButton* ButtonClose;
    std::shared_ptr<Link> link_;
    std::string lastReply_; // the server's last line, for the hint
};
