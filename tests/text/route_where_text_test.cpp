// The texts of a stored trace: the notification's line and the outage list's Where.
#include <gtest/gtest.h>

#include "text/RouteText.h"

namespace {

TEST(RouteWhereText, NamesTheHopWhereLossBeginsOrThatThereIsNone) {
    const struct {
        std::optional<int> hop;
        const char* address;
        const char* line;
        const char* where;
    } cases[] = {
        {3, "192.0.2.1", "Loss begins at hop 3 (192.0.2.1)", "hop 3, 192.0.2.1"},
        {std::nullopt, "", "No loss on the path", "no loss on the path"},
        {std::nullopt, "192.0.2.1", "No loss on the path", "no loss on the path"},
        // The end of a path that never answered.
        {12, "", "Loss begins at hop 12 (?\?\?)", "hop 12"},
        {1, "2001:db8::1", "Loss begins at hop 1 (2001:db8::1)", "hop 1, 2001:db8::1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RouteText::lossLine(c.hop, c.address), c.line);
        EXPECT_EQ(RouteText::where(c.hop, c.address), c.where);
    }
}

} // namespace
