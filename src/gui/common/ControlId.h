#pragma once

#include <cstdint>

class QWidget;

// Controls carry the numeric id of their dialog template: a control's tooltip is the string with
// that id, and tests find controls by it.
void SetControlId(QWidget* control, uint32_t id);
// 0 when the control has no id.
uint32_t ControlId(const QWidget* control);
// The first control below root (root included) with that id; nullptr when there is none.
QWidget* FindControl(QWidget* root, uint32_t id);
// Marks a control whose font the sheet leaves as it is (the output windows, which show bytes in
// their own font).
void KeepOwnFont(QWidget* control);
bool KeepsOwnFont(const QWidget* control);
// Gives every control below root that has an id the string of that id as its tooltip, where the
// string table has one.
void ApplyTooltips(QWidget* root);
