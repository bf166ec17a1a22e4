#include "widgets/SaveFileDialog.h"

#include <utility>

#include <QFileDialog>
#include <QFileInfo>

#include "common/MessageBox.h"

namespace {

SaveFileHook& Hook() {
    static SaveFileHook hook;
    return hook;
}

QString AskOnce(QWidget* parent, const SaveFileRequest& request) {
    if (Hook()) {
        return Hook()(request);
    }
    const QString filter = request.strFilter.isEmpty() ? QObject::tr("All files (*)") : request.strFilter;
    return QFileDialog::getSaveFileName(
        parent, request.strTitle, QString(), filter, nullptr,
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

SaveFileHook SetSaveFileHook(SaveFileHook hook) {
    return std::exchange(Hook(), std::move(hook));
}
