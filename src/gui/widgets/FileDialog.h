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
    QString strStart;              // the folder or file the dialog starts at
    // A name typed without an extension gets the one of the chosen filter, when that filter names
    // exactly one ("Text files (*.txt)"); a hook's answer counts as chosen under the first filter.
    bool bAddFilterSuffix = false;
};

// Every file dialog of the pages goes through AskSaveFileName or AskOpenFileName, so that tests can
// answer it: with a hook set, the hook answers instead of the dialog. Empty when the user cancelled.
QString AskSaveFileName(QWidget* parent, const SaveFileRequest& request);
// A file to read (a firmware image, a block file), shown read-only.
QString AskOpenFileName(QWidget* parent, const QString& filter);

using SaveFileHook = std::function<QString(const SaveFileRequest& request)>;
using OpenFileHook = std::function<QString(const QString& filter)>;
// Set a hook (an empty one restores the real dialog); each returns the previous one.
SaveFileHook SetSaveFileHook(SaveFileHook hook);
OpenFileHook SetOpenFileHook(OpenFileHook hook);
