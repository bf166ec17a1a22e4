#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include "common/ControlId.h"
#include "gui/pages/commands/MessageRecorder.h"
#include "pages/commands/CAuthenticateDialog.h"
#include "pages/commands/CChangeValueDialog.h"
#include "pages/commands/CLoadKeyDialog.h"
#include "pages/commands/CMakeValueBlockDialog.h"
#include "pages/commands/CSelectBlockDialog.h"
#include "pages/commands/CSetPortDialog.h"
#include "pages/commands/CWriteBlockDialog.h"

namespace {

const QString kHexValue = "Please enter a hexadecimal value.";
const QString kMifareKey = "Please enter a valid Mifare key of 12 hexadecimal digits.";

template <typename T = QWidget>
T* Control(QWidget* dialog, uint32_t id) {
    T* control = qobject_cast<T*>(FindControl(dialog, id));
    EXPECT_NE(control, nullptr) << "control " << id;
    return control;
}

void SetText(QWidget* dialog, uint32_t id, const QString& text) {
    QWidget* control = FindControl(dialog, id);
    if (auto* combo = qobject_cast<QComboBox*>(control)) {
        combo->setEditText(text);
    } else {
        qobject_cast<QLineEdit*>(control)->setText(text);
    }
}

// Presses OK on the shown dialog (the test has put the members into the fields first).
bool PressOk(CParameterDialog& dialog) {
    dialog.show();
    QTest::mouseClick(Control<QPushButton>(&dialog, 1), Qt::LeftButton);
    return dialog.result() == QDialog::Accepted;
}

bool HasFocus(QWidget* dialog, uint32_t id) {
    QWidget* control = FindControl(dialog, id);
    QWidget* focus = dialog->focusWidget();
    return focus != nullptr && (focus == control || control->isAncestorOf(focus));
}

TEST(LoadKeyDialog, OffersTheEmptyEntryAndThePresetKeysSorted) {
    CLoadKeyDialog dialog;
    QComboBox* keys = Control<QComboBox>(&dialog, 1079);
    QStringList items;
    for (int i = 0; i < keys->count(); ++i) {
        items << keys->itemText(i);
    }
    EXPECT_EQ(items, QStringList({"", "5E2F9A40C713", "9B74E0D51C38", "C1D6083B7FA2"}));
    EXPECT_EQ(keys->lineEdit()->maxLength(), 12);
}

TEST(LoadKeyDialog, AcceptsALowerCaseKeyAndReturnsEveryField) {
    MessageRecorder messages;
    CLoadKeyDialog dialog;
    dialog.UpdateData(false);
    SetText(&dialog, 1025, "15");
    SetText(&dialog, 1023, "2");
    Control<QRadioButton>(&dialog, 1022)->setChecked(true);
    SetText(&dialog, 1079, "5e2f9a40c713");
    ASSERT_TRUE(PressOk(dialog));
    EXPECT_TRUE(messages.Texts().isEmpty());
    EXPECT_EQ(dialog.m_nKeyNumber, 15);
    EXPECT_EQ(dialog.m_nKeySet, 2);
    EXPECT_EQ(dialog.m_nKeyType, 1);
    EXPECT_EQ(dialog.m_strKey, "5e2f9a40c713");
}

// One bad field at a time (or several, where the exchange order decides which one speaks).
struct RefusedCase {
    const char* name;
    const char* keyNumber;
    const char* keySet;
    const char* key;
    int keyIndex;  // >= 0: choose this list entry instead of typing
    QString message;
    uint32_t focus;
};

TEST(LoadKeyDialog, RefusesBadFieldsWithOneMessageAndTheFieldFocused) {
    const RefusedCase cases[] = {
        {"11 digits", "0", "0", "5E2F9A40C71", -1, kMifareKey, 1079},
        {"a bad character", "0", "0", "5E2F9A40C7G3", -1, kMifareKey, 1079},
        {"the empty entry", "0", "0", "", 0, kMifareKey, 1079},
        {"key set 3", "0", "3", "5E2F9A40C713", -1, "Please enter a number from 0 to 2.", 1023},
        {"key number 16 before a bad key", "16", "0", "xyz", -1, "Please enter a number from 0 to 15.", 1025},
        {"not a number", "1a", "0", "5E2F9A40C713", -1, "Please enter a whole number from 0 to 255.", 1025},
    };
    for (const RefusedCase& c : cases) {
        SCOPED_TRACE(c.name);
        MessageRecorder messages;
        CLoadKeyDialog dialog;
        dialog.m_strKey = "C1D6083B7FA2";
        dialog.m_nKeyNumber = 7;
        dialog.UpdateData(false);
        dialog.show();
        SetText(&dialog, 1025, c.keyNumber);
        SetText(&dialog, 1023, c.keySet);
        if (c.keyIndex >= 0) {
            Control<QComboBox>(&dialog, 1079)->setCurrentIndex(c.keyIndex);
        } else {
            SetText(&dialog, 1079, c.key);
        }
        EXPECT_FALSE(PressOk(dialog));
        EXPECT_TRUE(dialog.isVisible());
        EXPECT_EQ(messages.Texts(), QStringList{c.message});
        EXPECT_EQ(messages.Icons().value(0), MessageIcon::Exclamation);
        EXPECT_TRUE(HasFocus(&dialog, c.focus));
        // A refused OK changes nothing the caller will read.
        EXPECT_EQ(dialog.m_strKey, "C1D6083B7FA2");
        EXPECT_EQ(dialog.m_nKeyNumber, 7);
    }
}

TEST(AuthenticateDialog, PreFillsAndReturnsItsFields) {
    CAuthenticateDialog dialog;
    dialog.m_nKeyNumber = 3;
    dialog.m_nKeySet = 1;
    dialog.m_nKeyType = 1;
    dialog.m_nBlock = 200;
    dialog.UpdateData(false);
    EXPECT_EQ(Control<QLineEdit>(&dialog, 1025)->text(), "3");
    EXPECT_EQ(Control<QLineEdit>(&dialog, 1023)->text(), "1");
    EXPECT_TRUE(Control<QRadioButton>(&dialog, 1022)->isChecked());
    EXPECT_EQ(Control<QLineEdit>(&dialog, 1027)->text(), "200");

    MessageRecorder messages;
    SetText(&dialog, 1027, "256");
    EXPECT_FALSE(PressOk(dialog));
    EXPECT_EQ(messages.Texts(), QStringList{"Please enter a whole number from 0 to 255."});
    SetText(&dialog, 1027, " 255 ");
    Control<QRadioButton>(&dialog, 1021)->setChecked(true);
    ASSERT_TRUE(PressOk(dialog));
    EXPECT_EQ(dialog.m_nBlock, 255);
    EXPECT_EQ(dialog.m_nKeyType, 0);
}

TEST(WriteBlockDialog, OffersTwoSectorTrailersAndChecksLengthBeforeDigits) {
    CWriteBlockDialog dialog;
    QComboBox* data = Control<QComboBox>(&dialog, 1080);
    ASSERT_EQ(data->count(), 3);
    EXPECT_EQ(data->itemText(0), "");
    EXPECT_EQ(data->itemText(1), "5E2F9A40C713FF078069C1D6083B7FA2");
    EXPECT_EQ(data->itemText(2), "9B74E0D51C38FF0780699B74E0D51C38");
    EXPECT_EQ(data->lineEdit()->maxLength(), 32);

    MessageRecorder messages;
    dialog.UpdateData(false);
    dialog.show();
    SetText(&dialog, 1080, QString(31, 'A'));
    EXPECT_FALSE(PressOk(dialog));
    SetText(&dialog, 1080, QString(31, 'A') + "Z");
    EXPECT_FALSE(PressOk(dialog));
    EXPECT_EQ(messages.Texts(), QStringList({"Please enter a string of 32 characters.", kHexValue}));
    EXPECT_TRUE(HasFocus(&dialog, 1080));

    data->setCurrentIndex(2);
    SetText(&dialog, 1027, "7");
    ASSERT_TRUE(PressOk(dialog));
    EXPECT_EQ(dialog.m_nBlock, 7);
    EXPECT_EQ(dialog.m_strBlockData, "9B74E0D51C38FF0780699B74E0D51C38");
}

TEST(MakeValueBlockDialog, ChecksTheAddressBeforeTheValue) {
    MessageRecorder messages;
    CMakeValueBlockDialog dialog;
    dialog.UpdateData(false);
    dialog.show();
    SetText(&dialog, 1029, "12G4");
    SetText(&dialog, 1030, "X1");
    EXPECT_FALSE(PressOk(dialog));
    EXPECT_EQ(messages.Texts(), QStringList{kHexValue});
    EXPECT_TRUE(HasFocus(&dialog, 1030));
    EXPECT_EQ(Control<QLineEdit>(&dialog, 1029)->maxLength(), 8);
    EXPECT_EQ(Control<QLineEdit>(&dialog, 1030)->maxLength(), 2);
}

TEST(MakeValueBlockDialog, ConvertsTheHexTextsAndKeepsTheCallersNumbersForEmptyTexts) {
    CMakeValueBlockDialog dialog;
    dialog.m_dwValue = 0x1234;
    dialog.m_nValueAddress = 9;
    dialog.UpdateData(false);
    ASSERT_TRUE(PressOk(dialog));  // both texts empty
    EXPECT_EQ(dialog.m_dwValue, 0x1234u);
    EXPECT_EQ(dialog.m_nValueAddress, 9);

    CMakeValueBlockDialog second;
    second.UpdateData(false);
    SetText(&second, 1027, "4");
    SetText(&second, 1029, "fFfFfFfF");
    SetText(&second, 1030, "a5");
    ASSERT_TRUE(PressOk(second));
    EXPECT_EQ(second.m_nBlock, 4);
    EXPECT_EQ(second.m_dwValue, 0xFFFFFFFFu);
    EXPECT_EQ(second.m_nValueAddress, 0xA5);
    EXPECT_EQ(second.m_strValue, "fFfFfFfF");
    EXPECT_EQ(second.m_strValueAddress, "a5");
}

TEST(ChangeValueDialog, AnEmptyValueKeepsTheCallersValue) {
    CChangeValueDialog dialog;
    dialog.m_dwValue = 77;
    dialog.UpdateData(false);
    ASSERT_TRUE(PressOk(dialog));
    EXPECT_EQ(dialog.m_dwValue, 77u);

    MessageRecorder messages;
    CChangeValueDialog typed;
    typed.UpdateData(false);
    typed.show();
    SetText(&typed, 1029, "-1");
    EXPECT_FALSE(PressOk(typed));
    EXPECT_EQ(messages.Texts(), QStringList{kHexValue});
    SetText(&typed, 1029, "64");
    ASSERT_TRUE(PressOk(typed));
    EXPECT_EQ(typed.m_dwValue, 100u);
}

TEST(ParameterDialogs, OpenOnTheFirstFieldAndCancelLeavesTheMembersAlone) {
    CSelectBlockDialog dialog;
    dialog.m_nBlock = 12;
    dialog.UpdateData(false);
    dialog.show();
    QApplication::setActiveWindow(&dialog);
    EXPECT_TRUE(HasFocus(&dialog, 1027));  // the first field, not a button
    SetText(&dialog, 1027, "99");
    QTest::mouseClick(Control<QPushButton>(&dialog, 2), Qt::LeftButton);
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    EXPECT_EQ(dialog.m_nBlock, 12);
}

TEST(ParameterDialogs, OfferOnlyTheCloseBoxInTheirTitleBar) {
    CLoadKeyDialog loadKey;
    CSelectBlockDialog selectBlock;
    CWriteBlockDialog writeBlock;
    CAuthenticateDialog authenticate;
    CMakeValueBlockDialog makeValueBlock;
    CChangeValueDialog changeValue;
    CSetPortDialog setPort;
    for (QDialog* dialog : std::initializer_list<QDialog*>{&loadKey, &selectBlock, &writeBlock, &authenticate,
                                                           &makeValueBlock, &changeValue, &setPort}) {
        SCOPED_TRACE(dialog->windowTitle().toStdString());
        const Qt::WindowFlags flags = dialog->windowFlags();
        EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
        EXPECT_TRUE(flags.testFlag(Qt::CustomizeWindowHint)) << "else the platform adds its own buttons";
        EXPECT_FALSE(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                              Qt::WindowContextHelpButtonHint));
    }
}

TEST(SetPortDialog, TheMaskFollowsTheBoxes) {
    CSetPortDialog dialog;
    dialog.UpdateData(false);
    Control<QCheckBox>(&dialog, 1032)->setChecked(true);
    ASSERT_TRUE(PressOk(dialog));
    EXPECT_EQ(dialog.GetMask(), 0x10);
    for (uint32_t id : {1031u, 1033u, 1034u}) {
        Control<QCheckBox>(&dialog, id)->setChecked(true);
    }
    ASSERT_TRUE(PressOk(dialog));
    EXPECT_EQ(dialog.GetMask(), 0x17);
}

}  // namespace
