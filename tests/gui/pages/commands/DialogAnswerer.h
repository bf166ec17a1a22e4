#pragma once

#include <functional>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QTimer>

#include "common/ControlId.h"

// Answers the next modal dialog that opens while a button's handler runs: answer fills it in
// (or only looks at it) and returns whether to press OK (true) or Cancel (false).
inline void AnswerNextDialog(std::function<bool(QDialog*)> answer) {
    auto* timer = new QTimer;
    timer->setInterval(0);
    QObject::connect(timer, &QTimer::timeout, [timer, answer] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr || !dialog->isVisible()) {
            return;
        }
        timer->stop();
        timer->deleteLater();
        const bool ok = answer(dialog);
        qobject_cast<QAbstractButton*>(FindControl(dialog, ok ? 1 : 2))->click();
    });
    timer->start();
}
