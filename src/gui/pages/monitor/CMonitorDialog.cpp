#include "pages/monitor/CMonitorDialog.h"

#include <QCheckBox>
#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QVBoxLayout>
#include <memory>

#include "StringTable.h"
#include "common/CReaderSession.h"
#include "common/ControlId.h"
#include "common/MessageBox.h"
#include "link/Trace.h"
#include "pages/monitor/CMonitorRichEdit.h"
#include "programming/CProgrammingDialog.h"
#include "widgets/FileDialog.h"

// The monitor's trace: the text goes to the terminal as the trace writes it, and each chunk read,
// whoever read it (the page's polls, a programming job), to the hex view too.
class CMonitorDialog::TraceSplitter final : public OutputWindow {
public:
    TraceSplitter(CMonitorDialog& page, CMonitorRichEdit& terminal) : m_page(page), m_terminal(terminal) {}

    void Append(std::string_view text, const TraceFormat* format, int margin) override {
        m_terminal.Append(text, format, margin);
    }
    void SetDefaultFormat(std::string_view face, int pointSize, bool bold) override {
        m_terminal.SetDefaultFormat(face, pointSize, bold);
        // The same bytes in two forms: one font for both.
        QFont font = m_terminal.font();
        font.setBold(false);
        m_page.m_pHexView->setFont(font);
    }
    void ClearAll() override {
        m_terminal.ClearAll();
        m_page.m_pHexView->clear();
    }
    void ReceivedBytes(std::span<const uint8_t> bytes) override { m_page.ShowHexChunk(bytes); }

private:
    CMonitorDialog& m_page;
    CMonitorRichEdit& m_terminal;
};

namespace {

const QString kAllFiles = QStringLiteral("All files (*)");
const QString kBlockFiles = QStringLiteral("*.btl (*.btl);;All files (*)");
const QString kTextFiles = QStringLiteral("Text files (*.txt);;All files (*)");

QString Text(uint32_t id) {
    return QString::fromStdString(LoadString(id));
}

// The terminal's text as a file shows it, whatever the reader sent: a control character (which the
// window leaves out of sight) as its picture, never as itself, so that a saved file typed out on a
// terminal cannot drive that terminal.
QString Printable(const QString& text) {
    QString printable;
    printable.reserve(text.size());
    for (const QChar c : text) {
        const char16_t code = c.unicode();
        if (code == u'\n' || code == u'\t') {
            printable.append(c);
        } else if (code < 0x20) {
            printable.append(QChar(static_cast<char16_t>(0x2400 + code)));  // U+2400 CONTROL PICTURES
        } else if (code == 0x7F) {
            printable.append(QChar(static_cast<char16_t>(0x2421)));
        } else if (code >= 0x80 && code < 0xA0) {
            printable.append(QChar(QChar::ReplacementCharacter));
        } else {
            printable.append(c);
        }
    }
    return printable;
}

QString WithFinalNewline(QString text) {
    if (!text.isEmpty() && !text.endsWith(QLatin1Char('\n'))) {
        text.append(QLatin1Char('\n'));
    }
    return text;
}

template <typename T>
T* WithId(T* control, uint32_t id) {
    SetControlId(control, id);
    return control;
}

}  // namespace

CMonitorDialog::CMonitorDialog(CReaderSession& session, QWidget* parent)
    : CPropertyPage(session, parent),
      m_rawTerminal(session.PortForWork()),
      m_driver(session),
      m_pStatus(WithId(new QLabel(QStringLiteral("Ready"), this), IDC_STATUS)),
      m_pTerminal(WithId(new CMonitorRichEdit(this), IDC_TERMINAL)),
      m_pHexView(new QPlainTextEdit(this)),
      // Alt+X is the sheet's Exit.
      m_pHexToggle(new QCheckBox(QStringLiteral("&Hex view"), this)),
      m_pTimestamps(new QCheckBox(QStringLiteral("&Timestamps"), this)),
      m_pSave(new QPushButton(QStringLiteral("S&ave..."), this)),
      m_pClear(WithId(new QPushButton(QStringLiteral("&Clear"), this), IDC_CLEAR)),
      m_pProgram(WithId(new QPushButton(QStringLiteral("&Program"), this), IDC_PROGRAM)),
      m_pVerify(WithId(new QPushButton(QStringLiteral("&Verify"), this), IDC_VERIFY)),
      m_pSendFile(WithId(new QPushButton(QStringLiteral("&Send file..."), this), IDC_SEND_FILE)),
      m_pTrace(std::make_unique<TraceSplitter>(*this, *m_pTerminal)) {
    m_pStatus->setTextFormat(Qt::PlainText);
    // The terminal, its hex view and its file button keep their fonts when the sheet enlarges its own.
    KeepOwnFont(m_pTerminal);
    KeepOwnFont(m_pHexView);
    KeepOwnFont(m_pSendFile);
    m_pTerminal->setMinimumSize(420, 300);
    m_pTerminal->SetTypedHandler([this](const QByteArray& bytes) { OnTyped(bytes); });
    m_pHexView->setReadOnly(true);
    m_pHexView->setUndoRedoEnabled(false);
    m_pHexView->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_pHexView->setFont(COutputWindowWidget::TraceFont());
    m_pHexView->setMaximumBlockCount(1024);  // as many chunks as the terminal keeps lines
    m_pHexView->setFocusPolicy(Qt::ClickFocus);
    m_pHexView->hide();

    auto* views = new QHBoxLayout;
    views->addWidget(m_pTerminal, 3);
    views->addWidget(m_pHexView, 2);
    auto* row = new QHBoxLayout;
    row->addWidget(m_pStatus, 1);
    row->addWidget(m_pHexToggle);
    row->addWidget(m_pTimestamps);
    for (QPushButton* button : {m_pSave, m_pClear, m_pProgram, m_pVerify, m_pSendFile}) {
        button->setAutoDefault(false);
        row->addWidget(button);
    }
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(views, 1);
    layout->addLayout(row);

    connect(m_pHexToggle, &QCheckBox::toggled, m_pHexView, &QWidget::setVisible);
    connect(m_pTimestamps, &QCheckBox::toggled, this, [this](bool on) { m_pTerminal->SetTimestamps(on); });
    connect(m_pSave, &QPushButton::clicked, this, &CMonitorDialog::OnSave);
    connect(m_pClear, &QPushButton::clicked, this, &CMonitorDialog::OnClear);
    connect(m_pProgram, &QPushButton::clicked, this, [this] { RunJob(kBlockFiles, ProgramFile); });
    connect(m_pVerify, &QPushButton::clicked, this, [this] { RunJob(kBlockFiles, VerifyFile); });
    connect(m_pSendFile, &QPushButton::clicked, this, [this] { RunJob(kAllFiles, SendFile); });
    // The port is closed already: polling ends, and the page says why until it is shown again.
    connect(&m_session, &CReaderSession::LineLost, this, [this](const QString& text) {
        StopPolling();
        UpdateControls();
        m_strStatus = text + QLatin1Char('.');
        m_pStatus->setText(m_strStatus);
    });
}

CMonitorDialog::~CMonitorDialog() {
    OnClose();
    m_session.WaitForIdle();
    // The port outlives the page: it must not keep tracing into a terminal that is gone.
    if (m_session.TracesInto(m_pTrace.get())) {
        m_session.SetTraceWindow(nullptr, TraceModeText);
    }
}

void CMonitorDialog::OnClose() {
    StopPolling();
    CPropertyPage::OnClose();
}

void CMonitorDialog::OnInitDialog() {
    // The terminal is attached when the page is shown.
    m_session.FormatTraceWindow(m_pTrace.get(), TraceModeText);
    UpdateControls();
}

bool CMonitorDialog::OnSetActive() {
    m_bActive = true;
    UpdateControls();
    m_bFocusDone = false;
    StartPolling();
    FocusTerminal();
    return true;
}

bool CMonitorDialog::OnKillActive() {
    m_bActive = false;
    m_strStatus.clear();
    StopPolling();
    return true;
}

void CMonitorDialog::StartPolling() {
    m_session.SetTraceWindow(m_pTrace.get(), TraceModeText);
    if (!IsPortOpen()) {
        return;
    }
    // Refused only once the program is closing: then there is nothing to poll for.
    (void)m_session.PostWhenIdle(
        this, [terminal = &m_rawTerminal](ReaderPort&, ReaderLink&) { return terminal->Begin(); },
        [this](LinkResult) {
            if (m_bActive && !m_driver.IsRunning()) {
                m_driver.Start(m_rawTerminal, 0,
                               [this](const StepOutcome&) {
                                   AfterPoll(true);
                                   // Typed while the step ran: out at once, not after the poll period.
                                   if (m_rawTerminal.HasTyped()) {
                                       m_driver.RunSoon();
                                   }
                               },
                               {});
            }
        },
        true);
}

void CMonitorDialog::StopPolling() {
    m_driver.Shutdown();
    AfterPoll(false);
}

void CMonitorDialog::UpdateControls() {
    const ReaderPortState port = m_session.Port();
    const bool open = port.bOpen;
    if (!open) {
        m_strStatus = Text(IDS_NOT_CONNECTED);
    } else {
        m_strStatus = port.bUsb ? Text(IDS_USB_CONNECTED)
                                : QString::asprintf(LoadString(IDS_COM_CONNECTED).c_str(),
                                                    port.strName.c_str(), port.dwBaudRate);
    }
    for (QWidget* control : {static_cast<QWidget*>(m_pTerminal), static_cast<QWidget*>(m_pSendFile),
                             static_cast<QWidget*>(m_pProgram), static_cast<QWidget*>(m_pVerify)}) {
        control->setEnabled(open);
    }
    m_pStatus->setText(m_strStatus);
    FocusTerminal();
}

void CMonitorDialog::FocusTerminal() {
    m_pTerminal->setFocus();
}

void CMonitorDialog::ShowHexChunk(std::span<const uint8_t> bytes) {
    ByteBuffer chunk;
    for (uint8_t byte : bytes) {
        chunk.Append(byte);
    }
    m_pHexView->appendPlainText(QString::fromStdString(m_pTerminal->Prefix() + chunk.ToHex()));
}

void CMonitorDialog::AfterPoll(bool focus) {
    // The hex view has the chunks from the trace already: the poller's own list of them is only
    // emptied, so that it does not grow.
    (void)m_rawTerminal.TakeReceived();
    if (focus && !m_bFocusDone) {
        m_bFocusDone = true;
        FocusTerminal();
    }
}

void CMonitorDialog::OnTyped(const QByteArray& bytes) {
    // Kept until a step hands them to the port: none is dropped, not even while a poll runs.
    m_rawTerminal.Type(
        std::span(reinterpret_cast<const uint8_t*>(bytes.constData()), static_cast<size_t>(bytes.size())));
    m_driver.RunSoon();
}

void CMonitorDialog::RunJob(const QString& filter, ProgrammingMode mode) {
    // Nothing else reads the port while the job runs.
    StopPolling();
    m_session.WaitForIdle();
    const QString path = AskOpenFileName(this, filter);
    if (!path.isEmpty()) {
        ProgrammingInputs inputs;
        inputs.mode = mode;
        inputs.filePath = QFile::encodeName(path).toStdString();
        CProgrammingDialog dialog(m_session, this);
        dialog.SetInputs(inputs);
        dialog.exec();
    }
    FocusTerminal();
    // The job left the port in the normal read mode: polling sets its own again.
    if (m_bActive) {
        StartPolling();
    }
}

void CMonitorDialog::OnClear() {
    m_pTerminal->ClearAll();
    m_pHexView->clear();
    FocusTerminal();
}

QString CMonitorDialog::SavedText() const {
    const QString text = WithFinalNewline(Printable(m_pTerminal->toPlainText()));
    if (!m_pHexToggle->isChecked()) {
        return text;
    }
    // The two views one after the other, each under its name; a timestamp on a line stays on it.
    return QStringLiteral("Received text:\n") + text + QStringLiteral("\nReceived bytes (hexadecimal):\n") +
           WithFinalNewline(m_pHexView->toPlainText());
}

void CMonitorDialog::OnSave() {
    SaveFileRequest request;
    request.strTitle = QStringLiteral("Save the monitor's output");
    request.strFilter = kTextFiles;
    request.bAddFilterSuffix = true;
    const QString path = AskSaveFileName(this, request);
    if (path.isEmpty()) {
        FocusTerminal();
        return;
    }
    QSaveFile file(path);
    const QByteArray text = SavedText().toUtf8();
    // Written whole or not at all: a failed save leaves an earlier file as it was.
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        ShowMessage(this,
                    QString::asprintf(LoadString(IDS_SAVE_FAILED).c_str(), path.toUtf8().constData(),
                                      file.errorString().toUtf8().constData()),
                    MessageIcon::Exclamation);
    }
    FocusTerminal();
}
