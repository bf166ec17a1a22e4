#pragma once

#include <cstdint>

#include <QDialog>
#include <QString>

class QComboBox;
class QLabel;
class QLayout;
class QLineEdit;
class QPushButton;
class QWidget;

// Base of the commands page's parameter dialogs: the "&OK" / "&Cancel" row, and the exchange of
// the public value members with the controls. The caller sets the members, runs exec() and reads
// them back after OK. OK checks the fields in exchange order; the first that fails shows its one
// message, takes the focus and keeps the dialog open, and no member changes.
class CParameterDialog : public QDialog {
    Q_OBJECT

public:
    // Members to controls (save false), or controls to members with their checks (save true).
    // False when a check failed; the members are then untouched.
    bool UpdateData(bool save);

    int exec() override;
    void accept() override;

protected:
    CParameterDialog(QWidget* parent, const QString& caption);

    // An edit with its template id, as wide as widthChars digits.
    QLineEdit* NewEdit(uint32_t id, int maxLength, int widthChars);
    // A decimal byte field.
    QLineEdit* NewByteEdit(uint32_t id) { return NewEdit(id, 0, 5); }
    // A label whose mnemonic moves the focus to buddy.
    QLabel* NewLabel(const QString& text, QWidget* buddy);
    // An editable drop-down whose list holds an empty entry and the presets, sorted.
    QComboBox* NewCombo(uint32_t id, int maxLength, const QStringList& presets);

    // Adds the button row below content.
    void FinishLayout(QLayout* content);

    virtual void LoadFields() = 0;
    // Reads and checks every field in exchange order into temporaries, then commits them.
    virtual bool SaveFields() = 0;

    // A decimal byte field with its range; false after showing the message and focusing edit.
    bool ExchangeByte(QLineEdit* edit, uint8_t min, uint8_t max, uint8_t& value);
    // A text field of at most maxLength characters.
    bool ExchangeText(QWidget* control, const QString& text, int maxLength, QString& value);
    // The result of a hex-text check: 0 passes, else the message id (with length for 162).
    bool Check(QWidget* control, uint32_t messageId, int length = 0);
    // Shows message with an exclamation icon and gives control the focus; returns false.
    bool Fail(QWidget* control, const QString& message);

private:
    QPushButton* m_pOk = nullptr;
    QPushButton* m_pCancel = nullptr;
};
