#pragma once

#include <QWidget>

// A page of the main sheet. The sheet calls OnInitDialog once, after it has handed the page its
// shared objects, and OnSetActive / OnKillActive as the user moves between tabs.
class CPropertyPage : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;

    virtual void OnInitDialog() {}
    // The page is about to be shown: re-derive its state (the connection may have changed).
    virtual bool OnSetActive() { return true; }
    // The user wants to leave the page; false keeps it (a field does not hold a valid value).
    virtual bool OnKillActive() { return true; }
};
