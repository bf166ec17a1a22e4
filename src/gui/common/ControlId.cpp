#include "common/ControlId.h"

#include <QString>
#include <QVariant>
#include <QWidget>

#include "StringTable.h"

namespace {
constexpr char kControlIdProperty[] = "tagbenchControlId";
constexpr char kOwnFontProperty[] = "tagbenchOwnFont";
}  // namespace

void SetControlId(QWidget* control, uint32_t id) {
    control->setProperty(kControlIdProperty, id);
}

uint32_t ControlId(const QWidget* control) {
    return control->property(kControlIdProperty).toUInt();
}

void KeepOwnFont(QWidget* control) {
    control->setProperty(kOwnFontProperty, true);
}

bool KeepsOwnFont(const QWidget* control) {
    return control->property(kOwnFontProperty).toBool();
}

QWidget* FindControl(QWidget* root, uint32_t id) {
    if (ControlId(root) == id) {
        return root;
    }
    for (QWidget* child : root->findChildren<QWidget*>()) {
        if (ControlId(child) == id) {
            return child;
        }
    }
    return nullptr;
}

void ApplyTooltips(QWidget* root) {
    QList<QWidget*> controls = root->findChildren<QWidget*>();
    controls.prepend(root);
    for (QWidget* control : controls) {
        const uint32_t id = ControlId(control);
        if (id == 0) {
            continue;
        }
        const std::string text = LoadString(id);
        if (!text.empty()) {
            control->setToolTip(QString::fromStdString(text));
        }
    }
}
