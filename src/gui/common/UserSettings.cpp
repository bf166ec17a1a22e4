#include "common/UserSettings.h"

QSettings UserSettings() {
    return QSettings(QStringLiteral("tagbench"), QStringLiteral("tagbench"));
}

QString RememberedText(const QString& key) {
    return UserSettings().value(key).toString();
}

void Remember(const QString& key, const QString& text) {
    UserSettings().setValue(key, text);
}
