// The performance base's decisions that need no runtime: the flush action for given record sizes,
// and the settings message as the controller sends it.
#include <gtest/gtest.h>

#include "Bridge/MemoryBridgeStream.h"
#include "Profiler/Performance/BasePerformanceProfiler.h"
#include "Profiler/Performance/PerformanceClientInfo.h"
#include "support/ErrorText.h"
#include "support/WireBytes.h"

using namespace WireBytes;

namespace {

using Counts = BasePerformanceProfiler::FlushCounts;

Counts Sizes(DWORD active, UINT64 activeBytes, DWORD reuse, UINT64 reuseBytes, DWORD finish,
             UINT64 finishBytes) {
    return {{active, activeBytes}, {reuse, reuseBytes}, {finish, finishBytes}};
}

}  // namespace

TEST(PerformanceFlushAction, FollowsCountAndMemoryLimits) {
    constexpr UINT64 M = 600000;  // the memory threshold: finish at M/3, reuse at M/2
    struct Case {
        const char* name;
        Counts counts;
        DWORD action;
    };
    const Case cases[] = {
        {"nothing", Sizes(0, 0, 0, 0, 0, 0), BasePerformanceProfiler::FlushNone},
        {"255 ended", Sizes(9, 9, 0, 0, 255, 255), BasePerformanceProfiler::FlushNone},
        {"256 small ended", Sizes(0, 0, 0, 0, 256, 256), BasePerformanceProfiler::FlushFinish},
        {"ended bytes below M/3", Sizes(0, 0, 0, 0, 1, M / 3 - 1),
         BasePerformanceProfiler::FlushNone},
        {"ended bytes at M/3", Sizes(0, 0, 0, 0, 1, M / 3), BasePerformanceProfiler::FlushFinish},
        {"383 ended and named", Sizes(0, 0, 200, 200, 183, 183),
         BasePerformanceProfiler::FlushNone},
        {"383 of them 256 ended", Sizes(0, 0, 127, 127, 256, 256),
         BasePerformanceProfiler::FlushFinish},
        {"384 ended and named", Sizes(0, 0, 200, 200, 184, 184),
         BasePerformanceProfiler::FlushReuse},
        {"kept bytes at M/2", Sizes(0, 0, 1, M / 2 - 1, 0, 1), BasePerformanceProfiler::FlushReuse},
        {"total bytes below M", Sizes(1, M / 2, 0, 0, 0, M / 2 - 1),
         BasePerformanceProfiler::FlushFinish},
        {"total bytes at M", Sizes(1, M - 2, 1, 1, 1, 1), BasePerformanceProfiler::FlushAll},
        {"running threads alone at M", Sizes(3, M, 0, 0, 0, 0), BasePerformanceProfiler::FlushAll},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(BasePerformanceProfiler::ChooseFlushAction(c.counts, M), c.action) << c.name;
    }
    EXPECT_STREQ(BasePerformanceProfiler::FlushActionName(2), "reuse");
}

TEST(PerformanceClientInfo, ReadsTheSettingsMessageInWireOrder) {
    const Bytes message = Concat({
        {0x01, 0x00, 0x02, 0x01, 0x00},  // start, inlining, kind, merge, precision
        U32(0x11223344),
        ShortText("ab"),  // filter value and text
        {0x02},
        ShortText("m"),
        ShortText("t"),
        ShortText(""),  // two records in the first list
        ShortText("x"),
        ShortText("y"),
        ShortText("z"),  //
        {0x00},          // none in the second
    });
    PerformanceClientInfo info;
    MemoryBridgeStream stream(message);
    info.ReadSettings(stream);
    const PerformanceSettings& settings = info.GetSettings();
    EXPECT_TRUE(settings.m_StartAtInitialize);
    EXPECT_FALSE(settings.m_AllowInlining);
    EXPECT_EQ(settings.m_MeasureKind, MeasureKind::Rdtsc);
    EXPECT_TRUE(settings.m_ThreadRegistryOption);
    EXPECT_FALSE(settings.m_Precision);
    EXPECT_EQ(settings.m_FilterValue, 0x11223344u);
    EXPECT_EQ(settings.m_FilterText, u"ab");
    ASSERT_EQ(settings.m_FirstFilters.size(), 2u);
    EXPECT_EQ(settings.m_FirstFilters[1].m_Third, u"z");
    EXPECT_TRUE(settings.m_SecondFilters.empty());

    // A message cut short inside the second record raises instead of inventing the rest.
    const Bytes cut(message.begin(), message.end() - 3);
    MemoryBridgeStream shortStream(cut);
    EXPECT_NE(ErrorText([&] { info.ReadSettings(shortStream); }), "(nothing raised)");
}
