// Common ground of the entry and options dialogs: modal settings dialogs whose fields are
// refilled on every showing, and in which neither button is the cancel button.
#pragma once

#include <QDialog>
#include <QKeyEvent>
#include <QShowEvent>

class SettingsDialog : public QDialog {
  public:
    using QDialog::QDialog;

    // Fills the fields and sets the OK button's state; runs on every showing.
    virtual void FormShow() = 0;

  protected:
    void showEvent(QShowEvent* event) override {
        QDialog::showEvent(event);
        FormShow();
    }

    // Esc closes nothing (the close box still cancels).
    void keyPressEvent(QKeyEvent* event) override {
        if (event->key() == Qt::Key_Escape) {
            event->accept();
            return;
        }
        QDialog::keyPressEvent(event);
    }
};
