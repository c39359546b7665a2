// The windows need a QApplication; the tests always run on the offscreen platform.
#include <cstdlib>

#include <QApplication>
#include <gtest/gtest.h>

#include "AppSetup.h"

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    ApplyProgramFont(app);
    return RUN_ALL_TESTS();
}
