#pragma once

#include <functional>

#include <QString>

class QWidget;

// What a save dialog asks for: the log of continuous read appends to a file it may share with
// earlier runs, so it does not ask before choosing an existing file; a saved trace replaces one.
struct SaveFileRequest {
    QString strTitle;
    QString strFilter;  // "All files (*)" when empty
    bool bConfirmOverwrite = true;
    bool bRefuseReadOnly = false;  // a file the user may not write is refused and asked again
};

// Every save dialog of the pages goes through AskSaveFileName, so that tests can answer it: with a
// hook set, the hook answers instead of the dialog. Empty when the user cancelled.
QString AskSaveFileName(QWidget* parent, const SaveFileRequest& request);

using SaveFileHook = std::function<QString(const SaveFileRequest& request)>;
// Sets the hook (an empty one restores the real dialog); returns the previous one.
SaveFileHook SetSaveFileHook(SaveFileHook hook);
