#include "common/MessageBox.h"

#include <QApplication>
#include <utility>

namespace {

MessageHook& Hook() {
    static MessageHook hook;
    return hook;
}

QMessageBox::Icon ToQtIcon(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::Information:
            return QMessageBox::Information;
        case MessageIcon::Exclamation:
            return QMessageBox::Warning;
        case MessageIcon::Question:
            return QMessageBox::Question;
        case MessageIcon::Error:
            return QMessageBox::Critical;
    }
    return QMessageBox::NoIcon;
}

}  // namespace

QMessageBox::StandardButton ShowMessage(QWidget* parent, const QString& text, MessageIcon icon,
                                        QMessageBox::StandardButtons buttons) {
    if (Hook()) {
        return Hook()(text, icon);
    }
    QMessageBox box(ToQtIcon(icon), QApplication::applicationDisplayName(), text, buttons, parent);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

MessageHook SetMessageHook(MessageHook hook) {
    return std::exchange(Hook(), std::move(hook));
}
