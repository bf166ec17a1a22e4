#pragma once

#include <QSettings>
#include <QString>

// The user's own settings file (~/.config/tagbench/tagbench.conf): what the program remembers
// between runs for this user (the ledger chosen, the last paths, the last port). Never the profile
// file, which a production line shares.
QSettings UserSettings();

// A remembered text by its key ("Group/Name"); empty when nothing was remembered.
QString RememberedText(const QString& key);
void Remember(const QString& key, const QString& text);
