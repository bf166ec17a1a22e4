#include "pages/conformance/CConformanceDialog.h"

#include <algorithm>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QScrollArea>
#include <QSpinBox>
#include <QSplitter>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <utility>

#include "StringTable.h"
#include "app/CVersionInfo.h"
#include "common/CReaderSession.h"
#include "common/ControlId.h"
#include "common/MessageBox.h"
#include "link/Clock.h"
#include "link/ReaderLink.h"
#include "link/Trace.h"
#include "widgets/FileDialog.h"

namespace {

const QString kMarkdownFilter = QStringLiteral("Markdown report (*.md)");
const QString kJUnitFilter = QStringLiteral("JUnit XML (*.xml)");

QString Text(uint32_t id) {
    return QString::fromStdString(LoadString(id));
}

// Whatever came from the reader, as text a label can show: no control character but the line feed.
QString Clean(const std::string& text) {
    return QString::fromStdString(ConformanceCleanText(text, false));
}

QString Figures(const std::vector<ConformanceFigure>& figures) {
    QStringList parts;
    for (const ConformanceFigure& figure : figures) {
        parts << Clean(figure.name + " " + figure.value);
    }
    return parts.join(QStringLiteral(", "));
}

// In the order of ConformanceProcedure.
const char* const kProcedures[] = {"Auto", "3964R", "DLE-framed"};

}  // namespace

CConformanceDialog::CConformanceDialog(CReaderSession& session, QWidget* parent)
    : CPropertyPage(session, parent),
      m_driver(session),
      m_rowResults(ConformanceSuite::Checks().size()),
      m_pProcedure(new QComboBox(this)),
      m_pRepeat(new QSpinBox(this)),
      m_pWrite(new QCheckBox(QStringLiteral("&Write and restore block"), this)),
      m_pBlock(new QSpinBox(this)),
      m_pRun(new QPushButton(QStringLiteral("&Run"), this)),
      m_pStop(new QPushButton(QStringLiteral("&Stop"), this)),
      m_pSave(new QPushButton(QStringLiteral("Save r&eport..."), this)),
      m_pProgress(new QProgressBar(this)),
      m_pStatus(new QLabel(this)),
      m_pTable(new QTreeWidget(this)),
      m_pDetailsForm(new QFormLayout),
      m_pTranscriptLabel(new QLabel(this)),
      m_pTranscript(new QPlainTextEdit(this)) {
    // Under a fake clock (the tests') the driver moves it by each delay instead of waiting.
    m_driver.SetFakeClock(dynamic_cast<FakeClock*>(&session.GetClock()));

    for (const char* name : kProcedures) {
        m_pProcedure->addItem(QString::fromLatin1(name));
    }
    m_pProcedure->setToolTip(
        QStringLiteral("The link procedure to speak: the one the connection found (Auto), or one named."));
    m_pRepeat->setRange(1, 1000);
    m_pRepeat->setValue(20);
    m_pRepeat->setToolTip(
        QStringLiteral("Exchanges for each timing figure (handshakes, pauses in answers)."));
    // Block 0 and the sector trailers are refused when the run starts, with the reason.
    m_pBlock->setRange(1, 255);
    m_pBlock->setValue(4);
    m_pWrite->setToolTip(QStringLiteral(
        "Let one check write this block of the card and put its contents back. Off: nothing is written."));
    m_pBlock->setToolTip(m_pWrite->toolTip());
    auto* procedureLabel = new QLabel(QStringLiteral("Pro&cedure:"), this);
    procedureLabel->setBuddy(m_pProcedure);
    auto* repeatLabel = new QLabel(QStringLiteral("Re&peat:"), this);
    repeatLabel->setBuddy(m_pRepeat);

    // Two rows above the table: the options and the buttons that act, then how the run goes.
    auto* optionsRow = new QHBoxLayout;
    optionsRow->addWidget(procedureLabel);
    optionsRow->addWidget(m_pProcedure);
    optionsRow->addSpacing(16);
    optionsRow->addWidget(repeatLabel);
    optionsRow->addWidget(m_pRepeat);
    optionsRow->addSpacing(16);
    optionsRow->addWidget(m_pWrite);
    optionsRow->addWidget(m_pBlock);
    optionsRow->addStretch(1);
    for (QPushButton* button : {m_pRun, m_pStop}) {
        button->setAutoDefault(false);
        optionsRow->addWidget(button);
    }

    m_pProgress->setFormat(QStringLiteral("%v of %m"));
    m_pProgress->setRange(0, static_cast<int>(ConformanceSuite::Checks().size()));
    m_pProgress->setValue(0);
    m_pProgress->setMinimumWidth(200);
    m_pStatus->setTextFormat(Qt::PlainText);
    auto* runRow = new QHBoxLayout;
    runRow->addWidget(m_pStatus, 1);
    runRow->addWidget(m_pProgress);
    m_pSave->setAutoDefault(false);
    runRow->addWidget(m_pSave);

    // The table: every check the suite knows, ticked to run, with its result once it ran.
    m_pTable->setColumnCount(ColumnCount);
    m_pTable->setHeaderLabels({QStringLiteral("Check"), QStringLiteral("Title"), QStringLiteral("Result"),
                               QStringLiteral("Figures")});
    m_pTable->setRootIsDecorated(false);
    m_pTable->setUniformRowHeights(true);
    m_pTable->setAlternatingRowColors(true);
    m_pTable->setSelectionMode(QAbstractItemView::SingleSelection);
    m_pTable->headerItem()->setToolTip(ColumnCheck, QStringLiteral("Tick the checks to run."));
    for (const ConformanceCheck& check : ConformanceSuite::Checks()) {
        auto* item = new QTreeWidgetItem(m_pTable);
        item->setText(ColumnCheck, QString::fromStdString(check.id));
        item->setText(ColumnTitle, QString::fromStdString(check.title));
        item->setCheckState(ColumnCheck, Qt::Checked);
    }
    m_pTable->header()->setStretchLastSection(true);

    // The details of the selected check: what it does, then what its last run found.
    static const char* const kFieldNames[FieldCount] = {
        "Sends:", "Expects:", "Result:", "Expected:", "Seen:", "Reason:", "Figures:"};
    auto* fields = new QWidget;
    fields->setLayout(m_pDetailsForm);
    for (int field = 0; field < FieldCount; ++field) {
        auto* value = new QLabel(fields);
        value->setTextFormat(Qt::PlainText);
        value->setWordWrap(true);
        value->setTextInteractionFlags(Qt::TextSelectableByMouse);
        m_fields[field] = value;
        // At the top of a value that takes more than one line.
        auto* label = new QLabel(QString::fromLatin1(kFieldNames[field]), fields);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        m_pDetailsForm->addRow(label, value);
    }
    auto* fieldsArea = new QScrollArea(this);
    fieldsArea->setWidget(fields);
    fieldsArea->setWidgetResizable(true);
    fieldsArea->setFrameShape(QFrame::NoFrame);
    m_pTranscript->setReadOnly(true);
    m_pTranscript->setUndoRedoEnabled(false);
    m_pTranscript->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_pTranscript->setToolTip(QStringLiteral("What went over the line during the check."));
    KeepOwnFont(m_pTranscript);
    m_pTranscriptLabel->setTextFormat(Qt::PlainText);
    auto* transcriptBox = new QVBoxLayout;
    transcriptBox->setContentsMargins(0, 0, 0, 0);
    transcriptBox->addWidget(m_pTranscriptLabel);
    transcriptBox->addWidget(m_pTranscript, 1);
    auto* details = new QWidget(this);
    auto* detailsRow = new QHBoxLayout(details);
    detailsRow->setContentsMargins(0, 0, 0, 0);
    detailsRow->addWidget(fieldsArea, 3);
    detailsRow->addLayout(transcriptBox, 2);

    auto* split = new QSplitter(Qt::Vertical, this);
    split->setChildrenCollapsible(false);
    split->addWidget(m_pTable);
    split->addWidget(details);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 2);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(optionsRow);
    layout->addLayout(runRow);
    layout->addWidget(split, 1);

    connect(m_pWrite, &QCheckBox::toggled, this, &CConformanceDialog::UpdateControls);
    connect(m_pRun, &QPushButton::clicked, this, &CConformanceDialog::OnRun);
    connect(m_pStop, &QPushButton::clicked, this, &CConformanceDialog::OnStop);
    connect(m_pSave, &QPushButton::clicked, this, &CConformanceDialog::OnSave);
    connect(m_pTable, &QTreeWidget::currentItemChanged, this, &CConformanceDialog::ShowDetails);
    m_pTable->setCurrentItem(m_pTable->topLevelItem(0));
    UpdateControls();
}

CConformanceDialog::~CConformanceDialog() {
    OnClose();
}

void CConformanceDialog::OnClose() {
    if (m_pSuite != nullptr) {
        m_pSuite->Abort();  // the running check ends at its next wait rather than at its limits
    }
    m_driver.Shutdown();
    CPropertyPage::OnClose();
    m_pSuite.reset();
    m_bRunning = false;
}

void CConformanceDialog::OnInitDialog() {
    // In the sheet's font by now: ids and titles shown whole, and room for "skipped" before any
    // result came in. The figures take the rest.
    for (int column : {ColumnCheck, ColumnTitle}) {
        m_pTable->resizeColumnToContents(column);
    }
    m_pTable->setColumnWidth(ColumnResult,
                             m_pTable->fontMetrics().horizontalAdvance(QStringLiteral("skipped")) + 24);
    UpdateControls();
}

bool CConformanceDialog::OnSetActive() {
    UpdateControls();
    return true;
}

bool CConformanceDialog::OnKillActive() {
    if (m_bRunning) {
        ShowMessage(
            this, QStringLiteral("Cannot leave this page while the conformance checks run. Stop them first."),
            MessageIcon::Exclamation);
        return false;
    }
    return true;
}

void CConformanceDialog::OnBusyChanged(bool /*busy*/) {
    UpdateControls();
}

QString CConformanceDialog::GetStatus() const {
    return m_pStatus->text();
}

QString CConformanceDialog::GetDetails() const {
    QStringList lines;
    for (int field = 0; field < FieldCount; ++field) {
        if (m_pDetailsForm->isRowVisible(field)) {
            const auto* label = qobject_cast<QLabel*>(m_pDetailsForm->labelForField(m_fields[field]));
            lines << (label != nullptr ? label->text() : QString()) + " " + m_fields[field]->text();
        }
    }
    lines << m_pTranscriptLabel->text();
    return lines.join('\n');
}

void CConformanceDialog::SelectChecks(const std::vector<std::string>& ids) {
    for (int row = 0; row < m_pTable->topLevelItemCount(); ++row) {
        QTreeWidgetItem* item = m_pTable->topLevelItem(row);
        const bool on = ids.empty() ||
                        std::find(ids.begin(), ids.end(), item->text(ColumnCheck).toStdString()) != ids.end();
        item->setCheckState(ColumnCheck, on ? Qt::Checked : Qt::Unchecked);
    }
}

void CConformanceDialog::UpdateControls() {
    const bool open = IsPortOpen();
    m_pRun->setEnabled(open && !m_bRunning && !IsBusy());
    m_pStop->setEnabled(m_bRunning && !m_bStopWanted);
    m_pSave->setEnabled(!m_bRunning && !m_runResults.empty());
    for (QWidget* option : {static_cast<QWidget*>(m_pProcedure), static_cast<QWidget*>(m_pRepeat),
                            static_cast<QWidget*>(m_pWrite)}) {
        option->setEnabled(!m_bRunning);
    }
    m_pBlock->setEnabled(!m_bRunning && m_pWrite->isChecked());
    // What runs is fixed once it started; the rows can still be selected to read them.
    for (int row = 0; row < m_pTable->topLevelItemCount(); ++row) {
        QTreeWidgetItem* item = m_pTable->topLevelItem(row);
        item->setFlags(m_bRunning ? item->flags() & ~Qt::ItemIsUserCheckable
                                  : item->flags() | Qt::ItemIsUserCheckable);
    }
    if (m_bRunning) {
        return;  // the run keeps its own status
    }
    if (!open) {
        m_pStatus->setText(Text(IDS_NOT_CONNECTED));
    } else if (!m_strSummary.isEmpty()) {
        m_pStatus->setText(m_strSummary);
    } else {
        m_pStatus->setText(QStringLiteral("Ready. Tick the checks to run and press Run."));
    }
}

std::optional<ConformanceOptions> CConformanceDialog::OptionsFromControls() {
    ConformanceOptions options;
    options.procedure = static_cast<ConformanceProcedure>(std::max(m_pProcedure->currentIndex(), 0));
    options.repeat = static_cast<uint32_t>(m_pRepeat->value());
    if (m_pWrite->isChecked()) {
        options.writeBlock = static_cast<uint8_t>(m_pBlock->value());
    }
    bool all = true;
    for (int row = 0; row < m_pTable->topLevelItemCount(); ++row) {
        QTreeWidgetItem* item = m_pTable->topLevelItem(row);
        if (item->checkState(ColumnCheck) == Qt::Checked) {
            options.only.push_back(item->text(ColumnCheck).toStdString());
        } else {
            all = false;
        }
    }
    if (options.only.empty()) {
        ShowMessage(this, QStringLiteral("Tick at least one check to run."), MessageIcon::Exclamation);
        return std::nullopt;
    }
    if (all) {
        options.only.clear();
    }
    std::string error;
    if (!ConformanceSuite::CheckOptions(options, error)) {
        ShowMessage(this, QStringLiteral("The checks cannot run: %1.").arg(Clean(error)),
                    MessageIcon::Exclamation);
        return std::nullopt;
    }
    return options;
}

void CConformanceDialog::OnRun() {
    if (m_bRunning || !IsPortOpen() || IsBusy()) {
        QApplication::beep();
        return;
    }
    const std::optional<ConformanceOptions> options = OptionsFromControls();
    if (!options) {
        return;
    }
    // The suite's bytes are in each check's transcript: they stay out of the other pages' windows,
    // which attach their trace again when they are shown.
    m_session.SetTraceWindow(nullptr, TraceModeHex);

    const ReaderPortState port = m_session.Port();
    m_strLine = port.strName + " at " + std::to_string(port.dwBaudRate) + " baud";
    m_runInfo = {};
    m_runInfo.date =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toStdString();
    m_runInfo.version = CVersionInfo().ProductVersion();
    m_runChecks.clear();
    m_runResults.clear();
    m_runRows.clear();
    m_strSummary.clear();
    for (int row = 0; row < m_pTable->topLevelItemCount(); ++row) {
        m_rowResults[static_cast<size_t>(row)].reset();
        QTreeWidgetItem* item = m_pTable->topLevelItem(row);
        item->setText(ColumnResult, QString());
        item->setText(ColumnFigures, QString());
        item->setToolTip(ColumnFigures, QString());
        item->setData(ColumnResult, Qt::ForegroundRole, QVariant());
        item->setData(ColumnResult, Qt::FontRole, QVariant());
    }
    ShowDetails();
    m_pProgress->setValue(0);
    m_bRunning = true;
    m_bStopWanted = false;
    m_pStatus->setText(QStringLiteral("Starting..."));

    // The link's procedure is the worker's to read: the suite is built there.
    auto built = std::make_shared<std::unique_ptr<ConformanceSuite>>();
    const bool posted = m_session.Post(
        this,
        [built, options = *options, clock = &m_session.GetClock()](ReaderPort& port, ReaderLink& link) {
            *built = std::make_unique<ConformanceSuite>(port, *clock, link.GetLinkMode(), options);
            return LR_OK;
        },
        [this, built](LinkResult) { Begin(std::move(*built)); }, true);
    if (!posted) {
        m_bRunning = false;
        QApplication::beep();
    }
    UpdateControls();
}

void CConformanceDialog::Begin(std::unique_ptr<ConformanceSuite> suite) {
    m_pSuite = std::move(suite);
    m_runChecks = m_pSuite->Selected();
    for (const ConformanceCheck& check : m_runChecks) {
        int row = 0;
        while (row < m_pTable->topLevelItemCount() &&
               m_pTable->topLevelItem(row)->text(ColumnCheck).toStdString() != check.id) {
            ++row;
        }
        m_runRows.push_back(row);
    }
    m_pProgress->setRange(0, static_cast<int>(m_runChecks.size()));
    m_pProgress->setValue(0);
    if (m_bStopWanted) {
        Finish();
        return;
    }
    m_driver.Start(
        *m_pSuite, 0, [this](const StepOutcome&) { ShowProgress(); }, [this](bool) { Finish(); });
    ShowProgress();
}

void CConformanceDialog::ShowProgress() {
    const std::vector<ConformanceResult>& results = m_pSuite->Results();
    while (m_runResults.size() < results.size()) {
        m_runResults.push_back(results[m_runResults.size()]);
        ShowResult(m_runResults.size() - 1);
    }
    m_pProgress->setValue(static_cast<int>(m_runResults.size()));
    const size_t next = m_pSuite->NextIndex();
    if (m_bStopWanted) {
        m_pStatus->setText(QStringLiteral("Stopping..."));
    } else if (next < m_runChecks.size()) {
        m_pStatus->setText(QStringLiteral("Running %1 (%2 of %3)...")
                               .arg(QString::fromStdString(m_runChecks[next].id))
                               .arg(next + 1)
                               .arg(m_runChecks.size()));
    }
}

void CConformanceDialog::Finish() {
    ShowProgress();
    m_runInfo.infoText = m_pSuite->GetInfoText();
    m_runInfo.line = m_strLine + (m_pSuite->IsFramed() ? ", DLE-framed procedure" : ", 3964R procedure");
    m_runInfo.elapsedMs = m_pSuite->GetElapsedMs();
    m_strSummary = m_bStopWanted ? QStringLiteral("Stopped.")
                                 : QString::fromStdString(ConformanceSummary(
                                       TallyConformance(m_runChecks, m_runResults), m_runInfo.elapsedMs));
    m_pSuite.reset();
    m_bRunning = false;
    m_bStopWanted = false;
    UpdateControls();
    ShowDetails();
}

void CConformanceDialog::OnStop() {
    if (!m_bRunning || m_bStopWanted) {
        return;
    }
    m_bStopWanted = true;
    if (m_pSuite != nullptr) {
        // At once, from here: the check under way may be waiting out a long limit on the worker.
        m_pSuite->Abort();
        m_driver.Stop();
    }
    m_pStatus->setText(QStringLiteral("Stopping..."));
    UpdateControls();
}

void CConformanceDialog::ShowResult(size_t selectedIndex) {
    const ConformanceResult& result = m_runResults[selectedIndex];
    const int row = m_runRows[selectedIndex];
    QTreeWidgetItem* item = m_pTable->topLevelItem(row);
    if (item == nullptr) {
        return;
    }
    m_rowResults[static_cast<size_t>(row)] = result;
    item->setText(ColumnResult, QString::fromLatin1(VerdictName(result.verdict)));
    const QString figures = Figures(result.figures);
    item->setText(ColumnFigures, figures);
    item->setToolTip(ColumnFigures, figures);
    // The word carries the verdict; the colour only helps the eye find the failures.
    QColor colour;
    switch (result.verdict) {
        case ConformanceResult::Passed:
            colour = QColor(0x1b, 0x6e, 0x2e);
            break;
        case ConformanceResult::Failed:
            colour = QColor(0xb0, 0x1c, 0x1c);
            break;
        default:
            colour = palette().color(QPalette::Disabled, QPalette::Text);
            break;
    }
    item->setForeground(ColumnResult, colour);
    if (result.verdict == ConformanceResult::Failed) {
        QFont bold = m_pTable->font();
        bold.setBold(true);
        item->setFont(ColumnResult, bold);
    }
    if (m_pTable->currentItem() == item) {
        ShowDetails();
    }
}

void CConformanceDialog::ShowDetails() {
    QTreeWidgetItem* item = m_pTable->currentItem();
    const int row = item != nullptr ? m_pTable->indexOfTopLevelItem(item) : -1;
    const auto& checks = ConformanceSuite::Checks();
    QString values[FieldCount];
    QString transcript;
    QString caption = QStringLiteral("Transcript:");
    if (row >= 0 && static_cast<size_t>(row) < checks.size()) {
        const ConformanceCheck& check = checks[static_cast<size_t>(row)];
        caption = QStringLiteral("Transcript of %1:").arg(QString::fromStdString(check.id));
        values[FieldSends] = QString::fromStdString(check.sends);
        values[FieldExpects] = QString::fromStdString(check.expects);
        if (const std::optional<ConformanceResult>& result = m_rowResults[static_cast<size_t>(row)]) {
            values[FieldResult] = QStringLiteral("%1 (%2 ms)")
                                      .arg(QString::fromLatin1(VerdictName(result->verdict)))
                                      .arg(result->durationMs);
            values[FieldExpected] = Clean(result->expected);
            values[FieldSeen] = Clean(result->seen);
            values[FieldReason] = Clean(result->reason);
            values[FieldFigures] = Figures(result->figures);
            transcript = QString::fromStdString(ConformanceCleanText(result->transcript, true));
        } else {
            values[FieldResult] = m_bRunning ? QStringLiteral("not run yet") : QStringLiteral("not run");
        }
    }
    for (int field = 0; field < FieldCount; ++field) {
        m_fields[field]->setText(values[field]);
        // The check and its result always show; the result's parts only when it has them.
        m_pDetailsForm->setRowVisible(field, field <= FieldResult || !values[field].isEmpty());
    }
    m_pTranscriptLabel->setText(caption);
    m_pTranscript->setPlainText(transcript);
}

void CConformanceDialog::OnSave() {
    if (m_runResults.empty()) {
        return;
    }
    SaveFileRequest request;
    request.strTitle = QStringLiteral("Save report");
    request.strFilter = kMarkdownFilter + QStringLiteral(";;") + kJUnitFilter;
    QString path = AskSaveFileName(this, request);
    if (path.isEmpty()) {
        return;
    }
    // The dialog answers a name only: a name without an extension gets the first filter's, and
    // the dialog did not ask about replacing that file.
    if (QFileInfo(path).suffix().isEmpty()) {
        path += QStringLiteral(".md");
        if (QFileInfo::exists(path) &&
            ShowMessage(this, QStringLiteral("%1 already exists.\nDo you want to replace it?").arg(path),
                        MessageIcon::Question, QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes) {
            return;
        }
    }
    const bool xml = QFileInfo(path).suffix().compare(QStringLiteral("xml"), Qt::CaseInsensitive) == 0;
    const std::string report = xml ? ConformanceJUnitXml(m_runChecks, m_runResults, m_runInfo)
                                   : ConformanceMarkdown(m_runChecks, m_runResults, m_runInfo);
    QSaveFile file(path);
    const auto size = static_cast<qint64>(report.size());
    // Written whole or not at all: a failed save leaves an earlier report as it was.
    if (!file.open(QIODevice::WriteOnly) || file.write(report.data(), size) != size || !file.commit()) {
        ShowMessage(this,
                    QString::asprintf(LoadString(IDS_SAVE_FAILED).c_str(), path.toUtf8().constData(),
                                      file.errorString().toUtf8().constData()),
                    MessageIcon::Exclamation);
    }
}
