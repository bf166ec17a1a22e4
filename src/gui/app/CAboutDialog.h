#pragma once

#include <QDialog>

#include "app/CVersionInfo.h"

class QLabel;

// Product name, version, description and copyright from the version block, under the banner.
class CAboutDialog : public QDialog {
    Q_OBJECT
public:
    enum : uint32_t { IDC_COPYRIGHT = 1077, IDC_INFO = 1078 };

    explicit CAboutDialog(QWidget* parent = nullptr, const VersionBlock* block = &ProgramVersionBlock());

private:
    QLabel* m_pInfo;
    QLabel* m_pCopyright;
    CVersionInfo m_version;
};
