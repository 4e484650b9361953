#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "core/DR_common.h"
#include "sim/SimBoard.h"
#include "support/SimBoardFixture.h"

namespace {

class SysLogTest : public SimBoardTest {
protected:
    std::string Logged() { return Read(diviv::sim::kLogRecordFile); }
};

TEST_F(SysLogTest, PassesExactlyOneArgumentInTheBoardsFormat) {
    EXPECT_EQ(DR_SysLog(0xf0000000u, "Failure of memory allocation.", "core/DriveRecorderApp.cpp",
                        "main", 42, 0), 0);
    EXPECT_EQ(Logged(), "0xf0000000,Failure of memory allocation.,core/DriveRecorderApp.cpp,main,L42\n");
}

TEST_F(SysLogTest, TheMacroNamesTheModuleByItsPathInTheSourceTree) {
    DR_SYSLOG(DR_ERR_SURVIVABLE, "Failure of reading data.", 0);
    const std::string line = Logged();
    EXPECT_EQ(line.rfind("0x00000000,Failure of reading data.,tests/core/syslog_test.cpp,TestBody,L", 0), 0u)
        << line;
}

TEST_F(SysLogTest, QuotesDollarsAndBackticksAreLoggedAsTextNeverRun) {
    const std::string pwned = Path("/sim/pwned");
    const std::string msg = "a \"quote\" $(touch " + pwned + ") `touch " + pwned + "` $HOME";
    DR_SysLog(0, msg.c_str(), "f\"ile", "fu$(nc)", 7, 0);
    EXPECT_EQ(Logged(), "0x00000000," + msg + ",f\"ile,fu$(nc),L7\n");
    EXPECT_NE(access(pwned.c_str(), F_OK), 0) << "the message was executed";
}

TEST_F(SysLogTest, MessageIsCutTo256AndCommandLineTo528Characters) {
    const std::string long_msg(300, 'm');
    DR_SysLog(0, long_msg.c_str(), "a.cpp", "f", 1, 0);
    EXPECT_EQ(Logged(), "0x00000000," + std::string(256, 'm') + ",a.cpp,f,L1\n");

    // 28 characters of program, blank and quote leave 500 for the text.
    const std::string long_file(400, 'F');
    const std::string arg = DR_SysLogArgument(0, long_msg.c_str(), long_file.c_str(), "f", 1);
    EXPECT_EQ(arg.size(), 500u);
    EXPECT_EQ(arg.substr(0, 11), "0x00000000,");
}

TEST_F(SysLogTest, MissingLogProgramReturnsItsStatusAndNothingElse) {
    unlink(Path("/usr/local/sbin/log_record").c_str());
    EXPECT_NE(DR_SysLog(0, "x", "f", "g", 1, 1), 0);
}

// Runs DR_SysLog with reboot 1 in a child with the given WDT_ENABLE; returns
// the child's exit status (0: DR_SysLog returned).
int RebootInChild(const char* wdt) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (wdt) setenv("WDT_ENABLE", wdt, 1); else unsetenv("WDT_ENABLE");
        DR_SysLog(0xf0000000u, "Fatal error is found.", "a.cpp", "f", 1, 1);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(SysLogTest, RebootOnlyWithAWatchdogTimeFrom11To127) {
    for (const char* wdt : {static_cast<const char*>(nullptr), "10", "128", "abc"}) {
        EXPECT_EQ(RebootInChild(wdt), 0) << (wdt ? wdt : "unset");
    }
    EXPECT_EQ(Read("/proc/driver/power_cmd"), "");
    EXPECT_EQ(RebootInChild("60"), 1);
    EXPECT_EQ(Read("/proc/driver/power_cmd"), "2\n");
    // Every call was logged, the rebooting one included.
    const std::string log = Logged();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 5);
}

TEST(WatchdogTime, ReadsTheEnvironment) {
    unsetenv("WDT_ENABLE");
    EXPECT_EQ(getWDTtime(), 0);
    setenv("WDT_ENABLE", "11", 1);
    EXPECT_EQ(getWDTtime(), 11);
    setenv("WDT_ENABLE", "127", 1);
    EXPECT_EQ(getWDTtime(), 127);
    setenv("WDT_ENABLE", "0", 1);
    EXPECT_EQ(getWDTtime(), 0);
    unsetenv("WDT_ENABLE");
}

}  // namespace
