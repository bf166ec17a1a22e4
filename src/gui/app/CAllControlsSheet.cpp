#include "app/CAllControlsSheet.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>
#include <initializer_list>
#include <utility>
#include <vector>

#include "StringTable.h"
#include "app/CAboutDialog.h"
#include "common/CPropertyPage.h"
#include "common/ControlId.h"
#include "common/MessageBox.h"

namespace {

QString Text(uint32_t id) {
    return QString::fromStdString(LoadString(id));
}

CPropertyPage* PageAt(QTabWidget* tabs, int index) {
    return qobject_cast<CPropertyPage*>(tabs->widget(index));
}

}  // namespace

CAllControlsSheet::CAllControlsSheet(const QString& caption, QWidget* parent, int startPage,
                                     std::shared_ptr<D2xxProvider> d2xx)
    : QDialog(parent),
      m_readerPort(nullptr, std::move(d2xx)),
      m_session(m_readerPort, m_readerLink),
      m_pTabs(new QTabWidget(this)),
      m_pAboutButton(new QPushButton(Text(IDS_ABOUT), this)),
      m_pExitButton(new QPushButton(Text(IDS_EXIT), this)),
      m_pMinimizeAction(new QAction(Text(IDS_MINIMIZE), this)),
      m_nStartPage(startPage),
      m_connectionDialog(m_session),
      m_commandsDlg(m_session),
      m_monitorDlg(m_session),
      m_conformanceDlg(m_session),
      m_productionDlg(m_session) {
    setWindowTitle(caption);
    setWindowIcon(QIcon(QStringLiteral(":/tagbench/icon.svg")));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    SetControlId(m_pAboutButton, IDC_ABOUT);
    // Enter on a page must not open the About box or end the program.
    m_pAboutButton->setAutoDefault(false);
    m_pExitButton->setAutoDefault(false);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_pAboutButton);
    buttons->addWidget(m_pExitButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_pTabs, 1);
    layout->addLayout(buttons);

    connect(m_pAboutButton, &QPushButton::clicked, this, &CAllControlsSheet::OnAbout);
    connect(m_pExitButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_pMinimizeAction, &QAction::triggered, this, &QWidget::showMinimized);
    connect(&m_session, &CReaderSession::BusyChanged, this, &CAllControlsSheet::OnBusyChanged);
    addAction(m_pMinimizeAction);

    m_sheetFont = font();
    m_sheetFont.setPointSizeF(font().pointSizeF() * 1.1);
    setWindowTitle(QString::fromStdString(m_version.ProductName() + " " + m_version.ProductVersion()));
}

CAllControlsSheet::~CAllControlsSheet() {
    // The pages stop their modes on the worker and take no answer from now on: nothing a page
    // would show (a message box) appears once closing began. What runs still ends and its trace
    // reaches the window before the pages go.
    for (CPropertyPage* page : std::initializer_list<CPropertyPage*>{
             &m_commandsDlg, &m_monitorDlg, &m_conformanceDlg, &m_productionDlg, &m_connectionDialog}) {
        page->OnClose();
    }
    m_session.Shutdown();
}

void CAllControlsSheet::AddPages() {
    m_connectionDialog.SetUsbAvailable(m_bUsbAvailable);
    m_commandsDlg.SetSheetObjects(this, m_bHitag2);

    AddPage(&m_connectionDialog, QStringLiteral("Settings"));
    AddPage(&m_commandsDlg, QStringLiteral("Mifare® commands"));
    if (m_bDevelop) {
        AddPage(&m_monitorDlg, QStringLiteral("Monitor"), false);
        AddPage(&m_conformanceDlg, QStringLiteral("Conformance"));
    }
    if (m_bProduction) {
        AddPage(&m_productionDlg, QStringLiteral("Production"));
    }

    m_pTabs->setCurrentIndex(m_nStartPage < m_pTabs->count() ? m_nStartPage : 0);
    m_nActivePage = m_pTabs->currentIndex();
    if (CPropertyPage* page = PageAt(m_pTabs, m_nActivePage)) {
        page->OnSetActive();
    }
    connect(m_pTabs, &QTabWidget::currentChanged, this, &CAllControlsSheet::OnTabChanged);
}

void CAllControlsSheet::AddPage(QWidget* page, const QString& title, bool tooltips) {
    if (tooltips) {
        ApplyTooltips(page);
    }
    // The output windows keep the fonts they had: remember them before the page joins the sheet,
    // then set them explicitly, which stops the sheet font from propagating into them.
    std::vector<std::pair<QWidget*, QFont>> keep;
    QList<QWidget*> controls = page->findChildren<QWidget*>();
    controls.prepend(page);
    for (QWidget* control : controls) {
        if (KeepsOwnFont(control)) {
            QFont own = control->font();
            // Marked as set in full: an inherited font would otherwise keep following the sheet.
            own.setResolveMask(QFont::AllPropertiesResolved);
            keep.emplace_back(control, own);
        }
    }
    m_pTabs->addTab(page, title);
    setFont(m_sheetFont);
    for (auto& [control, font] : keep) {
        control->setFont(font);
    }
    // Initialised in its final font, so that lists size themselves to what they show.
    if (auto* propertyPage = qobject_cast<CPropertyPage*>(page)) {
        propertyPage->OnInitDialog();
    }
}

void CAllControlsSheet::OnTabChanged(int index) {
    if (index == m_nActivePage) {
        return;
    }
    // The tab widget has switched already. Put the page being left back in front before it is
    // asked, so that a refusal is shown over that page and it keeps the focus; nothing has been
    // painted in between.
    const QSignalBlocker blocker(m_pTabs);
    m_pTabs->setCurrentIndex(m_nActivePage);
    // No page change while a command runs: the page that started it shows its answer. The click
    // is kept and carried out when the answer is in, so a slow or silent reader costs no clicks.
    if (m_session.IsBusy() && !m_session.IsBackground()) {
        m_nPendingPage = index;
        return;
    }
    m_nPendingPage = -1;
    if (CPropertyPage* leaving = PageAt(m_pTabs, m_nActivePage);
        leaving != nullptr && !leaving->OnKillActive()) {
        return;
    }
    // The page left behind has stopped its background work; what still runs of it (a poll, typed
    // bytes) ends within a read time-out, and the new page may post at once.
    while (m_session.IsBusy()) {
        m_session.WaitForIdle();
    }
    m_pTabs->setCurrentIndex(index);
    m_nActivePage = index;
    if (CPropertyPage* page = PageAt(m_pTabs, index)) {
        page->OnSetActive();
    }
}

void CAllControlsSheet::OnBusyChanged(bool busy) {
    // The pages have seen the change first (they connected before the sheet): a page that posted
    // its next command at once keeps the click waiting for that one too.
    if (busy || m_nPendingPage < 0 || (m_session.IsBusy() && !m_session.IsBackground())) {
        return;
    }
    OnTabChanged(std::exchange(m_nPendingPage, -1));
}

QString CAllControlsSheet::CloseWarnings() const {
    QStringList warnings;
    for (int i = 0; i < m_pTabs->count(); ++i) {
        if (const CPropertyPage* page = PageAt(m_pTabs, i)) {
            if (const QString warning = page->CloseWarning(); !warning.isEmpty()) {
                warnings << warning;
            }
        }
    }
    return warnings.join(QLatin1Char('\n'));
}

void CAllControlsSheet::reject() {
    if (const QString warnings = CloseWarnings(); !warnings.isEmpty()) {
        const QString question = warnings + QStringLiteral("\n\nExit Tagbench anyway?");
        if (ShowMessage(this, question, MessageIcon::Question, QMessageBox::Yes | QMessageBox::No) !=
            QMessageBox::Yes) {
            return;
        }
    }
    QDialog::reject();
}

void CAllControlsSheet::SetSimulatorPanel(QWidget* panel) {
    if (m_pSimulatorButton == nullptr) {
        m_pSimulatorButton = new QPushButton(QStringLiteral("Simulated reader..."), this);
        m_pSimulatorButton->setAutoDefault(false);
        m_pSimulatorButton->setToolTip(
            QStringLiteral("The built-in simulated reader's card field and series"));
        auto* row = qobject_cast<QHBoxLayout*>(layout()->itemAt(1)->layout());
        row->insertWidget(row->indexOf(m_pAboutButton), m_pSimulatorButton);
    }
    m_pSimulatorButton->disconnect();
    connect(m_pSimulatorButton, &QPushButton::clicked, panel, [panel] {
        panel->show();
        panel->raise();
        panel->activateWindow();
    });
}

void CAllControlsSheet::OnAbout() {
    CAboutDialog about(this);
    about.exec();
}

QRect CAllControlsSheet::ProductNameRect() const {
    const QRect button = m_pAboutButton->geometry();
    return QRect(QPoint(m_pTabs->geometry().left(), button.top()),
                 QPoint(button.left() - 1, button.bottom()));
}

void CAllControlsSheet::paintEvent(QPaintEvent* event) {
    QDialog::paintEvent(event);
    const QString name = Text(IDS_PRODUCT_NAME);
    if (name.isEmpty()) {
        return;
    }
    QFont engraved(QStringLiteral("Arial"));
    engraved.setStyleHint(QFont::SansSerif);
    engraved.setPixelSize(m_pAboutButton->height());
    engraved.setBold(true);
    engraved.setItalic(true);
    QPainter painter(this);
    painter.setFont(engraved);
    const QRect rect = ProductNameRect();
    const int flags = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine;
    // A light copy one pixel down and right under a grey one reads as cut into the surface.
    painter.setPen(palette().color(QPalette::Light));
    painter.drawText(rect.translated(1, 1), flags, name);
    painter.setPen(palette().color(QPalette::Disabled, QPalette::WindowText));
    painter.drawText(rect, flags, name);
}

void CAllControlsSheet::showEvent(QShowEvent* event) {
    // Pages set their fonts and fill their lists after the first layout pass: make room for all.
    if (!event->spontaneous()) {
        resize(size().expandedTo(sizeHint()));
    }
    QDialog::showEvent(event);
}

void CAllControlsSheet::keyPressEvent(QKeyEvent* event) {
    // The sheet has no default button: Enter in a field does nothing, rather than pressing the
    // button that last had the focus (a focused button still takes its own Enter).
    // Nor does Escape end the program: a stray key meant for a dialog that has just closed must
    // not take the pages' state (counters, a running mode) with it. Exit and the caption do.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter || event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CAllControlsSheet::contextMenuEvent(QContextMenuEvent* event) {
    // Where the window manager offers no window menu, the button row offers its one entry.
    if (!ProductNameRect().contains(event->pos())) {
        QDialog::contextMenuEvent(event);
        return;
    }
    QMenu menu(this);
    menu.addAction(m_pMinimizeAction);
    menu.exec(event->globalPos());
}
