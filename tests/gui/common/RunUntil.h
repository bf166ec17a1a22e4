#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>

#include "common/CReaderSession.h"

// Lets the window's timers and queued calls and the session's worker run until done holds, for at
// most limitMs; false when it never did.
template <typename Done>
bool RunUntil(CReaderSession& session, Done done, int limitMs = 10000) {
    QElapsedTimer elapsed;
    elapsed.start();
    while (!done()) {
        if (elapsed.elapsed() > limitMs) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        session.WaitForIdle();
    }
    return true;
}
