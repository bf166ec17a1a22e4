#pragma once

#include <functional>

#include <QMessageBox>
#include <QString>

class QWidget;

enum class MessageIcon { Information, Exclamation, Question, Error };

// Every message box of the program goes through ShowMessage, so that tests can see and answer
// them: with a hook set, the hook answers instead of a modal box.
QMessageBox::StandardButton ShowMessage(QWidget* parent, const QString& text, MessageIcon icon,
                                        QMessageBox::StandardButtons buttons = QMessageBox::Ok);

using MessageHook = std::function<QMessageBox::StandardButton(const QString& text, MessageIcon icon)>;
// Sets the hook (an empty one restores the real boxes); returns the previous one.
MessageHook SetMessageHook(MessageHook hook);
