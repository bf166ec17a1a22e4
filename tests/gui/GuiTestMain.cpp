#include <gtest/gtest.h>

#include <memory>

#include <QApplication>
#include <QSettings>
#include <QTemporaryDir>

namespace {

// Each test starts with settings of its own: what one test's pages remember (a port, a path) does
// not reach the next one.
class FreshSettingsPerTest : public testing::EmptyTestEventListener {
public:
    void OnTestStart(const testing::TestInfo&) override {
        m_pDir =
            std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/tagbench-settings-XXXXXX"));
        for (QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat}) {
            QSettings::setPath(format, QSettings::UserScope, m_pDir->path());
        }
    }
    void OnTestEnd(const testing::TestInfo&) override { m_pDir.reset(); }

private:
    std::unique_ptr<QTemporaryDir> m_pDir;
};

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
    // Pages remember settings and open the production ledger below the user's folders: tests get
    // folders of their own, so that they neither read nor change the user's.
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/tagbench-gui-test-XXXXXX"));
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/config")).toLocal8Bit());
    qputenv("XDG_DATA_HOME", (home.path() + QStringLiteral("/data")).toLocal8Bit());
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new FreshSettingsPerTest);
    return RUN_ALL_TESTS();
}
