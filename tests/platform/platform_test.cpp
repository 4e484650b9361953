#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/BoardPath.h"
#include "platform/RunProgram.h"
#include "support/SimBoardFixture.h"

namespace {

TEST(BoardPathTest, PrefixesTheRootOnlyForAbsolutePaths) {
    unsetenv("DIVIV_ROOT");
    EXPECT_EQ(BoardPath("/proc/driver/power"), "/proc/driver/power");
    setenv("DIVIV_ROOT", "/tmp/board/", 1);
    EXPECT_EQ(BoardPath("/proc/driver/power"), "/tmp/board/proc/driver/power");
    EXPECT_EQ(BoardPath("./formatsd.sh"), "./formatsd.sh");
    setenv("DIVIV_ROOT", "", 1);
    EXPECT_EQ(BoardPath("/dev/mmcblk0"), "/dev/mmcblk0");
    unsetenv("DIVIV_ROOT");
}

TEST(RunProgramTest, ReturnsExitStatusAndPassesArgumentsVerbatim) {
    EXPECT_EQ(diviv::RunProgram({"true"}), 0);
    EXPECT_EQ(diviv::RunProgram({"sh", "-c", "exit 3"}), 3);
    EXPECT_EQ(diviv::RunProgram({"sh", "-c", "[ \"$1\" = '$(x) `y` \"z\"' ]", "sh", "$(x) `y` \"z\""}), 0);
    EXPECT_EQ(diviv::RunProgram({"/nonexistent/program"}), 127);
    EXPECT_EQ(diviv::RunProgram({}), -1);
}

class StandInPrograms : public SimBoardTest {};

TEST_F(StandInPrograms, RecordTheirCallsAndNeverTouchTheHost) {
    EXPECT_EQ(diviv::RunProgram({BoardPath("/bin/date"), "120812002026"}), 0);
    EXPECT_EQ(diviv::RunProgram({BoardPath("/sbin/hwclock"), "-w"}), 0);
    Write("/mnt/mmc0_p1/FILE.ASF", "x");
    EXPECT_EQ(diviv::RunProgram({"./formatsd.sh"}), 0);
    EXPECT_EQ(Read("/sim/calls.log"), "date 120812002026\nhwclock -w\nformatsd.sh\n");
    EXPECT_EQ(Read("/mnt/mmc0_p1/FILE.ASF"), "");
}

}  // namespace
