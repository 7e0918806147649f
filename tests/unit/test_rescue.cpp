// The rescue menu.
#include "fixture.h"
#include "rescue.h"

#include <sys/resource.h>

namespace {

// At the menu, end of input leaves as Exit does: nobody is left to choose.
// A prompt repeated for ever would run into the file-size limit instead.
TEST(Rescue, MenuLeavesAtEndOfInput)
{
    type_ahead("");
    rlimit old, limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    limit = {1 << 20, old.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0) << errno;
    const std::string out = stdout_of([] { EXPECT_EQ(run_rescue_mode(), 1); });
    EXPECT_EQ(out.substr(out.find("Option? : ")), std::string("Option? : \0\n", 12)); // asked once
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
}

} // namespace
