#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include "common/MessageBox.h"

// A real box, not the hook: its title is the program's name, not the executable's.
TEST(MessageBox, CarriesTheProgramsName) {
    QString title;
    QString text;
    QTimer::singleShot(0, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            title = box->windowTitle();
            text = box->text();
            box->accept();
        }
    });
    ShowMessage(nullptr, QStringLiteral("Cannot save."), MessageIcon::Exclamation);
    EXPECT_EQ(title, QStringLiteral("Tagbench"));
    EXPECT_EQ(text, QStringLiteral("Cannot save."));
}
