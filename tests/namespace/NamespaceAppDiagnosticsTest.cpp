// The loader reporting through postDiagnostic: the diagnostic flags decide which lines
// the window list receives, and the backup-file line always gets there.
#include <gtest/gtest.h>

#include "namespace/NamespaceAppDiagnostics.h"
#include "tests/namespace/NamespaceTestSupport.h"

namespace {

struct ListTarget : DiagnosticTarget {
    std::vector<std::string> lines;
    bool postLine(bool, DiagnosticLine line) override
    {
        lines.emplace_back(line.get());
        return true;
    }
};

void fixedClock(SYSTEMTIME* time) { *time = SYSTEMTIME{2026, 3, 0, 4, 9, 5, 0, 0}; }

}  // namespace

TEST(NamespaceAppDiagnostics, NamespaceClassDecidesWhatTheListShows)
{
    for (const uint16_t flags : {uint16_t(0), kDiagNamespace}) {
        ListTarget target;
        AppDiagnostics app;
        app.flags = flags;
        app.target = &target;
        app.utcClock = fixedClock;
        NamespaceAppDiagnostics diagnostics(app);
        DaRef<DaNamespaceRoot> root(new DaNamespaceRoot);
        int32_t protocol = -1;
        NamespaceLoadOptions options;
        options.fallbackFileName = testFile("minimal.xml");
        ASSERT_TRUE(loadNamespaceFile(testFile("missing.xml"), *root, diagnostics, protocol, options));
        ASSERT_FALSE(target.lines.empty()) << "flags " << flags;
        EXPECT_EQ(target.lines.front(), "2026/3/4 9:5:0.0 Cannot open file \"" + testFile("missing.xml") +
                                            "\" trying backup file \"appdefault.xml\"");
        if (flags == 0) {
            EXPECT_EQ(target.lines.size(), 1u);
        } else {
            EXPECT_EQ(target.lines[1], "2026/3/4 9:5:0.0 looking for nodes");
            EXPECT_EQ(target.lines.back(), "2026/3/4 9:5:0.0 finished at root");
        }
        root->removeAllChildren();
    }
}
