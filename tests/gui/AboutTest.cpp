#include <gtest/gtest.h>

#include <QLabel>

#include "app/CAboutDialog.h"
#include "app/CVersionInfo.h"
#include "common/ControlId.h"

namespace {

QString LabelText(QWidget* root, uint32_t id) {
    auto* label = qobject_cast<QLabel*>(FindControl(root, id));
    return label != nullptr ? label->text() : QStringLiteral("<no label>");
}

}  // namespace

TEST(VersionInfo, ReadsTheProgramsBlock) {
    const CVersionInfo version;
    EXPECT_EQ(version.Translation(), "040904b0");
    EXPECT_EQ(version.ProductName(), "Tagbench");
    EXPECT_EQ(version.ProductVersion(), "1.27.0");
    EXPECT_EQ(version.FileVersion(), "1.27.0");
    EXPECT_EQ(version.FileDescription(), "Test application for Mifare\u00ae readers.");
    EXPECT_FALSE(version.LegalCopyright().empty());
}

TEST(VersionInfo, UsesTheFirstTranslationAndGivesEmptyTextForWhatIsMissing) {
    const VersionTranslation translations[] = {{0x0413, 0x04E4}, {0x0409, 0x04B0}};
    const VersionString dutch[] = {{"ProductName", "Tagbank"}};
    const VersionString english[] = {{"ProductName", "Tagbench"}, {"ProductVersion", "9.9"}};
    const VersionStringTable tables[] = {{"040904b0", english}, {"041304e4", dutch}};
    const VersionBlock block{translations, tables};
    const CVersionInfo version(&block);
    EXPECT_EQ(version.Translation(), "041304e4");
    EXPECT_EQ(version.ProductName(), "Tagbank");
    EXPECT_EQ(version.ProductVersion(), "");

    const VersionBlock noTranslation{{}, tables};
    EXPECT_EQ(CVersionInfo(&noTranslation).ProductName(), "");
    EXPECT_EQ(CVersionInfo(nullptr).ProductName(), "");
}

TEST(AboutDialog, ShowsNameVersionDescriptionAndCopyrightFromTheBlock) {
    CAboutDialog about;
    EXPECT_EQ(about.windowTitle(), QStringLiteral("About Tagbench"));
    EXPECT_FALSE(about.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                                        Qt::WindowContextHelpButtonHint));
    EXPECT_EQ(LabelText(&about, CAboutDialog::IDC_INFO),
              QStringLiteral("Tagbench 1.27.0\n\nTest application for Mifare\u00ae readers."));
    EXPECT_EQ(LabelText(&about, CAboutDialog::IDC_COPYRIGHT),
              QString::fromStdString(CVersionInfo().LegalCopyright()));
}

TEST(AboutDialog, ShowsEmptyTextWhereTheBlockLacksAValue) {
    const VersionTranslation translations[] = {{0x0409, 0x04B0}};
    const VersionString strings[] = {{"ProductName", "Tagbench"}};
    const VersionStringTable tables[] = {{"040904b0", strings}};
    const VersionBlock block{translations, tables};
    CAboutDialog about(nullptr, &block);
    EXPECT_EQ(LabelText(&about, CAboutDialog::IDC_INFO), QStringLiteral("Tagbench \n\n"));
    EXPECT_EQ(LabelText(&about, CAboutDialog::IDC_COPYRIGHT), QString());
}
