#include <QApplication>
#include <cstdio>
#include <string_view>

#include "app/CReaderTestApp.h"
#include "app/CVersionInfo.h"

int main(int argc, char** argv) {
    // Answered before the window system is asked for anything, so they work without a display.
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--version") {
            const CVersionInfo version;
            std::printf("%s %s\n", version.ProductName().c_str(), version.ProductVersion().c_str());
            return 0;
        }
        if (arg == "--help") {
            std::printf(
                "Usage: tagbench [KEYWORD]...\n"
                "Tests contactless card readers and programs new ones. Run-mode keywords, in any order\n"
                "and case, with or without a leading / or -:\n"
                "  develop      the development pages (also: ontwikkeling)\n"
                "  production   the production page (also: productie)\n"
                "  hitag2       requests for HITAG 2 readers\n"
                "  simulate     start the built-in simulated reader\n"
                "  --version    print the version and exit\n");
            return 0;
        }
    }
    // No application display name: the window system would append it to every title, and the small
    // parameter dialogs would show that instead of their own names.
    QApplication application(argc, argv);
    CReaderTestApp app;
    return app.InitInstance(argc, argv);
}
