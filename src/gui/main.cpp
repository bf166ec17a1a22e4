#include <QApplication>

#include "app/CReaderTestApp.h"
#include "app/CVersionInfo.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationDisplayName(QString::fromStdString(CVersionInfo().ProductName()));
    CReaderTestApp app;
    return app.InitInstance(argc, argv);
}
