#include "common/MessageBox.h"

#include <QApplication>
#include <utility>

#include "app/CVersionInfo.h"

namespace {

MessageHook& Hook() {
    static MessageHook hook;
    return hook;
}

QMessageBox::Icon ToQtIcon(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::Information:
            return QMessageBox::Information;
        case MessageIcon::Exclamation:
            return QMessageBox::Warning;
        case MessageIcon::Question:
            return QMessageBox::Question;
        case MessageIcon::Error:
            return QMessageBox::Critical;
    }
    return QMessageBox::NoIcon;
}

// A label does not align at tabs: a text with tabs (a summary of values) is shown as a table of
// its lines, cut into cells at the tabs.
QString AsTable(const QString& text) {
    QString html = QStringLiteral("<table cellspacing=\"0\" cellpadding=\"1\">");
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        html += QStringLiteral("<tr>");
        for (const QString& cell : line.split(QLatin1Char('\t'))) {
            html += QStringLiteral("<td style=\"padding-right:12px\">%1</td>")
                        .arg(cell.isEmpty() ? QStringLiteral("&nbsp;") : cell.toHtmlEscaped());
        }
        html += QStringLiteral("</tr>");
    }
    return html + QStringLiteral("</table>");
}

// The program's name as its window's caption shows it, not the executable's ("tagbench"), which
// is all the application object knows: the program sets no display name (see main).
QString Title() {
    const std::string product = CVersionInfo().ProductName();
    return product.empty() ? QApplication::applicationDisplayName() : QString::fromStdString(product);
}

}  // namespace

QMessageBox::StandardButton ShowMessage(QWidget* parent, const QString& text, MessageIcon icon,
                                        QMessageBox::StandardButtons buttons) {
    if (Hook()) {
        return Hook()(text, icon);
    }
    const bool table = text.contains(QLatin1Char('\t'));
    QMessageBox box(ToQtIcon(icon), Title(), table ? AsTable(text) : text, buttons, parent);
    box.setTextFormat(table ? Qt::RichText : Qt::AutoText);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

MessageHook SetMessageHook(MessageHook hook) {
    return std::exchange(Hook(), std::move(hook));
}
