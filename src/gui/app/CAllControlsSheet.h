#pragma once

#include <QDialog>
#include <QFont>
#include <memory>

#include "app/CVersionInfo.h"
#include "common/CReaderSession.h"
#include "link/ReaderLink.h"
#include "link/ReaderPort.h"
#include "pages/commands/CMifareCommandsDlg.h"
#include "pages/conformance/CConformanceDialog.h"
#include "pages/monitor/CMonitorDialog.h"
#include "pages/settings/CConnectionDialog.h"
#include "production/CProductionDialog.h"

class QAction;
class QPushButton;
class QTabWidget;

// The program's only top-level window: a modal sheet of tabs that owns every object living for the
// run (the reader port, the link, the pages) and hands the pages what they need. Its own button
// row holds "A&bout..." and "E&xit"; the free part of the row shows the product name engraved.
class CAllControlsSheet : public QDialog {
    Q_OBJECT
public:
    enum : uint32_t {
        IDC_ABOUT = 1063,
    };

    // d2xx: the provider of the reader port's USB kind (null: none).
    explicit CAllControlsSheet(const QString& caption, QWidget* parent = nullptr, int startPage = 0,
                               std::shared_ptr<D2xxProvider> d2xx = CreateDefaultD2xx());
    ~CAllControlsSheet() override;

    // Once, after the run-mode flags are set: hands the pages their objects and adds the tabs that
    // the run mode calls for, settings first.
    void AddPages();
    // Adds a page as the next tab, in the sheet font (1.1 times the dialog font) except for the
    // controls marked to keep their own (KeepOwnFont). A page that derives from CPropertyPage is initialised
    // and told when it becomes active or is left; tooltips: its controls show the strings of their ids.
    void AddPage(QWidget* page, const QString& title, bool tooltips = true);

    CConnectionDialog& GetConnectionDialog() { return m_connectionDialog; }
    CMifareCommandsDlg& GetCommandsDlg() { return m_commandsDlg; }
    CMonitorDialog& GetMonitorDlg() { return m_monitorDlg; }
    CConformanceDialog& GetConformanceDlg() { return m_conformanceDlg; }
    CProductionDialog& GetProductionDlg() { return m_productionDlg; }
    ReaderPort& GetReaderPort() { return m_readerPort; }
    ReaderLink& GetReaderLink() { return m_readerLink; }
    // Runs every exchange with the reader; the pages reach the reader through it.
    CReaderSession& GetSession() { return m_session; }
    QTabWidget* GetTabControl() const { return m_pTabs; }
    const QFont& GetSheetFont() const { return m_sheetFont; }
    QAction* GetMinimizeAction() const { return m_pMinimizeAction; }
    // The free part of the button row, where the product name is painted.
    QRect ProductNameRect() const;
    // The simulated reader's control (simulate run mode): a "Simulated reader..." button in the
    // button row shows and raises it.
    void SetSimulatorPanel(QWidget* panel);

    // Exit, the caption's close button and the system menu: asks first when closing would stop a
    // mode or job or lose what a page holds.
    void reject() override;

    bool m_bProduction = false;
    bool m_bDevelop = false;
    bool m_bUsbAvailable = false;
    bool m_bHitag2 = false;

protected:
    void paintEvent(QPaintEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void OnAbout();
    void OnTabChanged(int index);
    void OnBusyChanged(bool busy);
    // Every page's CloseWarning, one per line; empty when closing loses nothing.
    QString CloseWarnings() const;

    // The port, the link and their session outlive the pages, which hold the session.
    ReaderPort m_readerPort;
    ReaderLink m_readerLink;
    CReaderSession m_session;
    CVersionInfo m_version;
    QTabWidget* m_pTabs;
    QPushButton* m_pAboutButton;
    QPushButton* m_pExitButton;
    QPushButton* m_pSimulatorButton = nullptr;
    QAction* m_pMinimizeAction;
    QFont m_sheetFont;
    int m_nStartPage;
    int m_nActivePage = -1;
    // A tab asked for while an exchange ran: shown once the exchange has ended (-1: none).
    int m_nPendingPage = -1;
    CConnectionDialog m_connectionDialog;
    CMifareCommandsDlg m_commandsDlg;
    CMonitorDialog m_monitorDlg;
    CConformanceDialog m_conformanceDlg;
    CProductionDialog m_productionDlg;
};
