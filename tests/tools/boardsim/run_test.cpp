#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "sim/SimBoard.h"
#include "sim/SimMicrophoneWav.h"
#include "sim/World.h"
#include "support/SimBoardFixture.h"

extern char** environ;

namespace {

// boardsim started as its own process, its output collected in a file.
class BoardsimProcess {
public:
    BoardsimProcess(const std::vector<std::string>& args, const std::string& output) : output_(output) {
        std::vector<std::string> all = {BOARDSIM_PROGRAM};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&fa, STDOUT_FILENO, STDERR_FILENO);
        if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
    }
    ~BoardsimProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            Wait();
        }
    }
    // Exit status, or -1.
    int Wait() {
        if (pid_ <= 0) return status_;
        int st = 0;
        ::waitpid(pid_, &st, 0);
        pid_ = -1;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        return status_;
    }
    std::string Output() const { return diviv::sim::ReadTextFile(output_); }

private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string output_;
};

class BoardsimRunTest : public SimBoardTest {
protected:
    void SetUp() override {
        SimBoardTest::SetUp();
        work_ = MakeTempDir("boardsim-run-");
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(work_, ec);
        SimBoardTest::TearDown();
    }
    // Runs boardsim with a scenario to the end; returns its exit status.
    int RunScenario(const std::string& scenario, const std::string& program, std::string* output) {
        const std::string file = work_ + "/scenario.txt";
        diviv::sim::WriteTextFile(file, scenario);
        BoardsimProcess p({"run", root_, "--scenario", file, "--timeout", "60", "--", program}, work_ + "/out.txt");
        const int status = p.Wait();
        *output = p.Output();
        return status;
    }
    std::string Script(const std::string& body) {
        const std::string path = work_ + "/program.sh";
        diviv::sim::WriteTextFile(path, "#!/bin/sh\n" + body);
        ::chmod(path.c_str(), 0755);
        return path;
    }
    std::string work_;
};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The host queue ids boardsim passed on the command line
// ("board on: PROGRAM DOWN UP DOWN UP").
std::vector<int> HostQueueIds(const std::string& output) {
    const size_t at = output.find("board on: ");
    if (at == std::string::npos) return {};
    std::istringstream line(output.substr(at + 10, output.find('\n', at) - at - 10));
    std::string program, down, up;
    if (!(line >> program >> down >> up)) return {};
    return {static_cast<int>(std::stol(down, nullptr, 16)), static_cast<int>(std::stol(up, nullptr, 16))};
}

TEST_F(BoardsimRunTest, RecorderFollowsKeysHostCommandsAndIgnitionUntilSwitchedOff) {
    const std::string scenario =
        "0    wait line \"fake : ready\" within 20\n"
        "+0   expect led 1 0 0\n"
        "+0.3 key select\n"
        "+0   expect line \"fake : key 2\"\n"
        "+0.5 host 9 1\n"
        "+0   expect led 1,1,0\n"
        "+0.3 host 40\n"
        "+0.5 key event\n"
        "+0   wait line \"fake : key 7\" within 3\n"
        "+0.2 hold stop+select 3.6\n"
        "+0   wait line \"fake : held\" within 18\n"
        "+0.5 ignition off\n"
        "+0   expect line \"fake : ignition off\"\n"
        "+0   expect off within 5\n"
        "+10  key stop\n";
    std::string out;
    EXPECT_EQ(RunScenario(scenario, FAKE_RECORDER, &out), 0) << out;
    EXPECT_TRUE(Has(out, "acknowledged 9: host 9 1")) << out;
    EXPECT_TRUE(Has(out, "acknowledged 41: host 40")) << out;
    EXPECT_TRUE(Has(out, "LED 1,1,0")) << out;
    EXPECT_TRUE(Has(out, "buzzer 250/250 ms x2")) << out;
    EXPECT_TRUE(Has(out, "umount /mnt/mmc0_p1")) << out;
    EXPECT_TRUE(Has(out, "power controller 2 (switch off)")) << out;
    EXPECT_TRUE(Has(out, "board switched off by the recorder")) << out;
    EXPECT_TRUE(Has(out, "skipped (board off): key stop")) << out;
    EXPECT_TRUE(Has(out, "---- 10 check(s) passed, 0 failed ----")) << out;
    EXPECT_EQ(Read("/proc/mounts").find("/mnt/mmc0_p1"), std::string::npos);

    // The board's power is gone: its queues with it.
    const std::vector<int> ids = HostQueueIds(out);
    ASSERT_EQ(ids.size(), 2u) << out;
    msqid_ds ds{};
    EXPECT_NE(::msgctl(ids[0], IPC_STAT, &ds), 0);
    EXPECT_NE(::msgctl(ids[1], IPC_STAT, &ds), 0);
}

TEST_F(BoardsimRunTest, SupplyPowerLossAndOrderlyEndAreReported) {
    std::string out;
    EXPECT_EQ(RunScenario("0 wait line \"fake : ready\" within 20\n"
                          "+0.2 power lost\n"
                          "+0 expect led 1 2 0\n"
                          "+0 expect off\n",
                          FAKE_RECORDER, &out),
              0)
        << out;
    EXPECT_TRUE(Has(out, "fake : power lost")) << out;

    EXPECT_EQ(RunScenario("0 wait line \"fake : ready\" within 20\n"
                          "+0 host 0\n"
                          "+0 expect exit 0 within 5\n"
                          "+0 expect noline \"switch off\"\n",
                          FAKE_RECORDER, &out),
              0)
        << out;
    EXPECT_TRUE(Has(out, "program ended by itself, exit status 0")) << out;
    EXPECT_FALSE(Has(out, "power controller 2")) << out;
}

TEST_F(BoardsimRunTest, AMisbehavingHostFillsTheCommandQueueAndStopsReadingReplies) {
    std::string out;
    EXPECT_EQ(RunScenario("0    wait line \"fake : ready\" within 20\n"
                          "+0   host fill 2\n"
                          "+0   host 9 1\n"  // held back until the recorder makes room
                          "+0   wait line \"fake : command 9 1\" within 10\n"
                          "+0   host replies off\n"
                          "+0   host 9 0\n"
                          "+0   wait line \"fake : command 9 0\" within 10\n"
                          "+0.5 host replies on\n"
                          "+0   host 0\n"
                          "+0   expect exit 0 within 10\n",
                          FAKE_RECORDER, &out),
              0)
        << out;
    EXPECT_TRUE(Has(out, "command queue filled with ")) << out;
    EXPECT_TRUE(Has(out, "command queue full: waiting for room")) << out;
    EXPECT_TRUE(Has(out, "command queue took the held-back commands")) << out;
    EXPECT_TRUE(Has(out, "DiViv : Host message of type 2 dropped")) << out;
    EXPECT_TRUE(Has(out, "acknowledged 9: host 9 1")) << out;
    // The reply left in the queue while the host did not read is taken, not
    // judged, once it reads again.
    EXPECT_TRUE(Has(out, "acknowledgement 9\n")) << out;
    EXPECT_TRUE(Has(out, "acknowledged 0: host 0")) << out;

    // A command queue that never makes room fails the held-back command.
    const std::string stuck = Script("echo ready; sleep 60\n");
    EXPECT_EQ(RunScenario("0 wait line \"ready\" within 20\n"
                          "+0 host fill 3\n"
                          "+0 host 0\n"
                          "+0 end\n",
                          stuck, &out),
              1)
        << out;
    EXPECT_TRUE(Has(out, "FAILED line 3: host 0 -- not sent: the command queue was full until the board went")) << out;
}

TEST_F(BoardsimRunTest, SwitchOffEndsAProgramThatWouldRunOnAndFailedChecksFailTheRun) {
    const std::string program = Script(
        "echo \"started $1 $2 $3 $4 $5 in $(pwd)\"\n"
        "printf '2\\n' >> \"$DIVIV_ROOT/proc/driver/power_cmd\"\n"
        "sleep 60\n");
    std::string out;
    const int64_t start = diviv::MonotonicMs();
    const int status = RunScenario("0 expect led 3 3 3 within 1\n"
                                   "0 expect line \"started\"\n"
                                   "0 expect off within 5\n",
                                   program, &out);
    EXPECT_LT(diviv::MonotonicMs() - start, 20000) << "the switched-off program was not ended";
    EXPECT_EQ(status, 1) << out;
    EXPECT_TRUE(Has(out, "board switched off by the recorder")) << out;
    EXPECT_TRUE(Has(out, "---- 2 check(s) passed, 1 failed ----")) << out;
    EXPECT_TRUE(Has(out, "FAILED line 1: expect led 3 3 3 within 1 -- LED 0,0,0")) << out;
    EXPECT_TRUE(Has(out, " in " + root_)) << "the program does not run in the board root: " << out;
}

TEST_F(BoardsimRunTest, ControlDrivesARunningBoard) {
    BoardsimProcess run({"run", root_, "--", FAKE_RECORDER}, work_ + "/out.txt");
    auto wait_for = [&](const std::string& text) {
        for (int i = 0; i < 300; ++i) {
            if (Has(run.Output(), text)) return true;
            ::usleep(50000);
        }
        return false;
    };
    ASSERT_TRUE(wait_for("fake : ready")) << run.Output();
    std::vector<std::string> base = {BOARDSIM_PROGRAM, "ctl", root_};
    auto ctl = [&](std::vector<std::string> words) {
        std::vector<std::string> argv = base;
        argv.insert(argv.end(), words.begin(), words.end());
        std::string cmd;
        for (const auto& a : argv) cmd += "'" + a + "' ";
        return std::system((cmd + ">/dev/null 2>&1").c_str());
    };
    EXPECT_EQ(ctl({"key", "down"}), 0);
    EXPECT_TRUE(wait_for("fake : key 4")) << run.Output();
    EXPECT_EQ(ctl({"host", "9", "1"}), 0);
    EXPECT_TRUE(wait_for("LED 1,1,0")) << run.Output();
    EXPECT_NE(ctl({"expect", "off"}), 0) << "checks belong in a scenario";
    EXPECT_NE(ctl({"fly"}), 0);
    EXPECT_EQ(ctl({"host", "0"}), 0);
    EXPECT_EQ(run.Wait(), 0) << run.Output();
    EXPECT_TRUE(Has(run.Output(), "program ended by itself, exit status 0"));
    // Nobody listens any more.
    EXPECT_NE(ctl({"key", "down"}), 0);
}

TEST_F(BoardsimRunTest, CameraStepsReachTheWorldFile) {
    std::string out;
    const int64_t before = diviv::MonotonicMs();
    EXPECT_EQ(RunScenario("0 wait line \"fake : ready\" within 20\n"
                          "+0 camera drop 3\n"
                          "+0 camera eio\n"
                          "+0 camera drop 5\n"
                          "+0 camera stall 2\n"
                          "+0 expect on\n",
                          FAKE_RECORDER, &out),
              0)
        << out;
    const diviv::sim::WorldValues world = diviv::sim::ParseWorld(Read(diviv::sim::kWorldFile));
    EXPECT_EQ(world.at("camera_drop"), "5");
    EXPECT_EQ(world.at("camera_drop_gen"), "2") << "one generation per step";
    EXPECT_EQ(world.at("camera_eio"), "1");
    EXPECT_EQ(world.at("camera_eio_gen"), "1");
    const int64_t until = std::stoll(world.at("camera_stall_until_ms"));
    EXPECT_GE(until, before + 2000);
    EXPECT_LE(until, diviv::MonotonicMs() + 2000);
}

TEST_F(BoardsimRunTest, MicrophoneStepsReachTheWorldFile) {
    const std::string wav = work_ + "/horn.wav";
    ASSERT_TRUE(diviv::sim::WriteMicrophoneWav(wav, std::vector<int16_t>(800, 1000)));
    std::string out;
    const int64_t before = diviv::MonotonicMs();
    EXPECT_EQ(RunScenario("0 wait line \"fake : ready\" within 20\n"
                          "+0 microphone eintr 2\n"
                          "+0 microphone timeout\n"
                          "+0 microphone timeout 3\n"
                          "+0 microphone stall 1.5\n"
                          "+0 microphone " + wav + "\n"
                          "+0 microphone " + work_ + "/missing.wav\n"
                          "+0 expect on\n",
                          FAKE_RECORDER, &out),
              0)
        << out;
    const diviv::sim::WorldValues world = diviv::sim::ParseWorld(Read(diviv::sim::kWorldFile));
    EXPECT_EQ(world.at("microphone_eintr"), "2");
    EXPECT_EQ(world.at("microphone_eintr_gen"), "1");
    EXPECT_EQ(world.at("microphone_timeout"), "3");
    EXPECT_EQ(world.at("microphone_timeout_gen"), "2") << "one generation per step";
    const int64_t from = std::stoll(world.at("microphone_stall_from_ms"));
    EXPECT_GE(from, before);
    EXPECT_EQ(std::stoll(world.at("microphone_stall_until_ms")) - from, 1500);
    EXPECT_EQ(world.at("microphone_file"), wav) << "a file that cannot be played is not named";
    EXPECT_TRUE(Has(out, "microphone step not written")) << out;
}

}  // namespace
