// The log window: the program's trace lines as they are written, newest at the bottom, the last
// few thousand kept, with copy and clear, and the choice of DebugWrite (saved to the settings
// file and applied at once). It sees every line, also while DebugWrite is 0, through a tap on
// the diagnostic channel that is installed only while the window is shown.
//
// User-interface thread only; a window of its own, not modal.
#pragma once

#include <memory>

#include <QWidget>

#include "TraceTap.h"

namespace Ui {
class TFormLog;
}
class QTimer;

class TFormLog : public QWidget {
    Q_OBJECT

  public:
    explicit TFormLog(QWidget* parent);
    ~TFormLog() override;

    // Shows the window and brings it to the front.
    void Open();
    // Moves the tapped lines into the view (the timer calls it while the window is shown).
    void TakeLines();
    void ComboBoxDebugWriteChange(int index);
    void ButtonCopyClick();
    void ButtonClearClick();
    bool Tapping() const { return Tap.Installed(); }

  protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    std::unique_ptr<Ui::TFormLog> ui;
    TraceTap Tap;
    QTimer* DrainTimer = nullptr;
};
