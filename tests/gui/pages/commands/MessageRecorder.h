#pragma once

#include <QString>
#include <QStringList>

#include "common/MessageBox.h"

// Answers every message box with OK while it lives and keeps the texts shown.
class MessageRecorder {
public:
    MessageRecorder() {
        m_previous = SetMessageHook([this](const QString& text, MessageIcon icon) {
            m_texts.append(text);
            m_icons.append(icon);
            return QMessageBox::Ok;
        });
    }
    ~MessageRecorder() { SetMessageHook(m_previous); }
    MessageRecorder(const MessageRecorder&) = delete;
    MessageRecorder& operator=(const MessageRecorder&) = delete;

    const QStringList& Texts() const { return m_texts; }
    const QList<MessageIcon>& Icons() const { return m_icons; }
    void Clear() {
        m_texts.clear();
        m_icons.clear();
    }

private:
    MessageHook m_previous;
    QStringList m_texts;
    QList<MessageIcon> m_icons;
};
