// A test of the windows: a fresh working directory holding the settings file, a listening port
// of its own, an instance socket of its own, and the four windows created as the program does.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <QString>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "AppSetup.h"
#include "FormMain.h"
#include "config/Proxydata.h"

class QDialog;
class QLabel;
class QLineEdit;
class QPushButton;

namespace uitest {

// A port that was free a moment ago.
int FreePort();

struct Entry {
    std::string domain;
    std::string smtp;
    int method;
    std::string user;
    std::string passwd;
    int port;
    int security = 0; // written only when set, as in a file from before TLS
};

class UiTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Writes Vellomir.ini with tracing to debugw.log, this test's listening port and `entries`.
    void WriteSettings(const std::vector<Entry>& entries, const std::string& extra = "");
    // Creates the windows (the start-up sequence runs).
    void Start();
    void Start(const std::vector<Entry>& entries) {
        WriteSettings(entries);
        Start();
    }

    std::string SettingsText() const;
    std::string Key(const std::string& section, const std::string& key) const;
    // Trace lines written so far, without their line ends.
    std::vector<std::string> Trace() const;
    bool Traced(const std::string& line) const;

    template <typename T> T* Find(const char* name) const;
    QLineEdit* Edit(QWidget* dialog, const char* name) const;
    QPushButton* Button(QWidget* dialog, const char* name) const;
    QLabel* Link(const char* name) const;

    // Runs `open`, which shows `dialog` modally; `act` runs while it is up. A dialog that `act`
    // leaves open is cancelled so that a failing test never hangs.
    void WithModal(QDialog* dialog, const std::function<void()>& open,
                   const std::function<void()>& act);

    // The grid's row r as five texts.
    std::vector<QString> Row(int r) const;

    QTemporaryDir dir_;
    QString oldDir_;
    int listenPort_ = 0;
    ProgramWindows w_;
};

template <typename T> T* UiTest::Find(const char* name) const {
    return w_.FormMain->findChild<T*>(QString::fromLatin1(name));
}

std::vector<QString> Cells(const Entry& e, const char* methodName);

} // namespace uitest
