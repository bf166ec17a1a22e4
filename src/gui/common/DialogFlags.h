#pragma once

#include <QWidget>

// A dialog's title bar: its title and the close box only; nothing to minimise or enlarge, no help
// button.
inline void ShowCloseBoxOnly(QWidget* dialog) {
    dialog->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowCloseButtonHint);
}
