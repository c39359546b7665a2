#include "AppSetup.h"

#include <cstdio>
#include <cstdlib>

#include <QApplication>
#include <QFileInfo>
#include <QToolTip>

#include "FormAbout.h"
#include "FormEditData.h"
#include "FormMain.h"
#include "FormOption.h"

namespace {

bool EnvSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0';
}

// A tray tip holds 128 characters with its terminator.
constexpr int kTitleMax = 127;

} // namespace

void SelectHeadlessPlatform() {
    if (!EnvSet("DISPLAY") && !EnvSet("WAYLAND_DISPLAY") && !EnvSet("QT_QPA_PLATFORM")) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
}

bool IsHeadlessPlatform() {
    const QString name = QGuiApplication::platformName();
    return name == QLatin1String("offscreen") || name == QLatin1String("minimal");
}

QFont ProgramFont() {
    QFont font;
    font.setFamilies({QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("IPAPGothic"),
                      QStringLiteral("Noto Sans CJK JP"), QStringLiteral("IPAGothic")});
    font.setPixelSize(12);
    return font;
}

void ApplyProgramFont(QApplication& app) {
    app.setFont(ProgramFont());
    QToolTip::setFont(ProgramFont());
}

// The icons are compiled into this static library; its resources need registering by hand.
static void RegisterResources() {
    Q_INIT_RESOURCE(vellomir);
}

QIcon ProgramIcon() {
    static const bool registered = (RegisterResources(), true);
    (void)registered;
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/vellomir-64.png"));
    icon.addFile(QStringLiteral(":/icons/vellomir-256.png"));
    return icon;
}

QString ApplicationTitle(const QString& programPath) {
    QString name = QFileInfo(programPath).fileName();
    const qsizetype dot = name.indexOf(QLatin1Char('.'));
    if (dot >= 0) {
        name.truncate(dot);
    }
    if (name.size() > 1) {
        name = name.left(1) + name.mid(1).toLower();
    }
    return name.left(kTitleMax);
}

ProgramWindows CreateProgramWindows() {
    ProgramWindows windows;
    windows.FormMain = new TFormMain();
    windows.FrmEditData = new TFrmEditData(windows.FormMain);
    windows.FrmOption = new TFrmOption(windows.FormMain);
    windows.AboutBox = new TAboutBox(windows.FormMain);
    windows.FormMain->AttachDialogs(windows.FrmEditData, windows.FrmOption, windows.AboutBox);
    return windows;
}

void TellStandardError(const std::string& text) {
    std::fprintf(stderr, "Vellomir: %s\n", text.c_str());
    std::fflush(stderr);
}
