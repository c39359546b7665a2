// Start-up pieces of the desktop program: platform choice, font, icon, application title, and
// the creation of the four windows in their fixed order.
//
// User-interface thread only (SelectHeadlessPlatform before QApplication exists). Nothing here
// reports failure: a missing font falls back to the next family, a missing display to offscreen.
#pragma once

#include <QFont>
#include <QIcon>
#include <QString>
#include <string>

class QApplication;
class TAboutBox;
class TFormMain;
class TFrmEditData;
class TFrmOption;

// Without DISPLAY and WAYLAND_DISPLAY, and without an explicit QT_QPA_PLATFORM, selects Qt's
// offscreen platform so the program runs as a headless proxy. Call before QApplication.
void SelectHeadlessPlatform();
// True on a platform that shows nothing to anyone (offscreen, minimal).
bool IsHeadlessPlatform();

// The font of every window: "ＭＳ Ｐゴシック" first, then the Japanese fonts of a Linux desktop,
// 12 pixels high.
QFont ProgramFont();
void ApplyProgramFont(QApplication& app);

// One line "Vellomir: <text>" on standard error, at once: where a headless program (or a desktop
// without a notification area) tells its user.
void TellStandardError(const std::string& text);

// The program's icon: tray icon, window icon and the about box's picture.
QIcon ProgramIcon();

// The program file's name without directory and from its first "." on, first character kept and
// the rest lower-cased, at most 127 characters (what a tray tip holds).
QString ApplicationTitle(const QString& programPath);

// The four windows, created once: FormMain first (its creation runs the start-up sequence), then
// the entry dialog, the options dialog and the about box. The dialogs are children of FormMain.
struct ProgramWindows {
    TFormMain* FormMain = nullptr;
    TFrmEditData* FrmEditData = nullptr;
    TFrmOption* FrmOption = nullptr;
    TAboutBox* AboutBox = nullptr;
};
ProgramWindows CreateProgramWindows();
