#include <QApplication>

#include "app/CReaderTestApp.h"

int main(int argc, char** argv) {
    // No application display name: the window system would append it to every title, and the small
    // parameter dialogs would show that instead of their own names.
    QApplication application(argc, argv);
    CReaderTestApp app;
    return app.InitInstance(argc, argv);
}
