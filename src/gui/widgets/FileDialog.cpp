#include "widgets/FileDialog.h"

#include <utility>

#include <QFileDialog>
#include <QFileInfo>

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

QString AskOnce(QWidget* parent, const SaveFileRequest& request) {
    if (Hook()) {
        return Hook()(request);
    }
    const QString filter = request.strFilter.isEmpty() ? QObject::tr("All files (*)") : request.strFilter;
    return QFileDialog::getSaveFileName(
        parent, request.strTitle, request.strStart, filter, nullptr,
        request.bConfirmOverwrite ? QFileDialog::Options() : QFileDialog::DontConfirmOverwrite);
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
