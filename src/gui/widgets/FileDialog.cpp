#include "widgets/FileDialog.h"

#include <utility>

#include <QFileDialog>
#include <QFileInfo>
#include <QRegularExpression>

#include "common/MessageBox.h"

namespace {

SaveFileHook& Hook() {
    static SaveFileHook hook;
    return hook;
}

OpenFileHook& OpenHook() {
    static OpenFileHook hook;
    return hook;
}

// The one extension a filter names: "txt" for "Text files (*.txt)"; empty for "All files (*)" and
// for a filter of several patterns.
QString FilterSuffix(const QString& filter) {
    static const QRegularExpression pattern(QStringLiteral("\\(\\*\\.([A-Za-z0-9_]+)\\)$"));
    const QRegularExpressionMatch match = pattern.match(filter.trimmed());
    return match.hasMatch() ? match.captured(1) : QString();
}

QString WithSuffix(const QString& path, const QString& filter) {
    const QString suffix = FilterSuffix(filter);
    if (path.isEmpty() || suffix.isEmpty() || !QFileInfo(path).suffix().isEmpty()) {
        return path;
    }
    return path + QLatin1Char('.') + suffix;
}

QString AskOnce(QWidget* parent, const SaveFileRequest& request) {
    const QString filters = request.strFilter.isEmpty() ? QObject::tr("All files (*)") : request.strFilter;
    if (Hook()) {
        const QString path = Hook()(request);
        return request.bAddFilterSuffix ? WithSuffix(path, filters.section(QStringLiteral(";;"), 0, 0))
                                        : path;
    }
    QFileDialog dialog(parent, request.strTitle, request.strStart, filters);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, !request.bConfirmOverwrite);
    if (request.bAddFilterSuffix) {
        // Given to the dialog itself, so that it asks about replacing the file it will write.
        dialog.setDefaultSuffix(FilterSuffix(dialog.selectedNameFilter()));
        QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog,
                         [&dialog](const QString& filter) { dialog.setDefaultSuffix(FilterSuffix(filter)); });
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return QString();
    }
    const QString path = dialog.selectedFiles().constFirst();
    // A platform dialog may leave the suffix out.
    return request.bAddFilterSuffix ? WithSuffix(path, dialog.selectedNameFilter()) : path;
}

}  // namespace

QString AskSaveFileName(QWidget* parent, const SaveFileRequest& request) {
    for (;;) {
        const QString path = AskOnce(parent, request);
        const QFileInfo info(path);
        if (path.isEmpty() || !request.bRefuseReadOnly || !info.exists() || info.isWritable()) {
            return path;
        }
        ShowMessage(parent,
                    QObject::tr("%1\nThis file is set to read-only.\nTry again with a different file name.")
                        .arg(QDir::toNativeSeparators(path)),
                    MessageIcon::Exclamation);
    }
}

QString AskOpenFileName(QWidget* parent, const QString& filter) {
    if (OpenHook()) {
        return OpenHook()(filter);
    }
    return QFileDialog::getOpenFileName(parent, QString(), QString(), filter, nullptr, QFileDialog::ReadOnly);
}

SaveFileHook SetSaveFileHook(SaveFileHook hook) {
    return std::exchange(Hook(), std::move(hook));
}

OpenFileHook SetOpenFileHook(OpenFileHook hook) {
    return std::exchange(OpenHook(), std::move(hook));
}
