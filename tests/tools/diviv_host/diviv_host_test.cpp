// diviv-host: the words it turns into host messages, the tool against a
// recorder end made of the recorder's own command fetch over real queues,
// and the tool driving the real recorder on a simulated board.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "HostCommands.h"
#include "core/HostQueue.h"
#include "sim/SimBoard.h"
#include "support/SimBoardFixture.h"

namespace {

using diviv_host::Request;
using Clock = std::chrono::steady_clock;

Request Parsed(const std::vector<std::string>& words) {
    Request r;
    std::string error;
    EXPECT_TRUE(diviv_host::ParseRequest(words, &r, &error)) << error;
    return r;
}

int32_t Word(const commsg_t& m, int index) {
    int32_t v;
    std::memcpy(&v, m.MsgData + 4 * index, sizeof v);
    return v;
}

// The command and integer parameter a request puts on the wire.
std::pair<int, int> OnWire(const std::vector<std::string>& words) {
    const commsg_t m = diviv_host::Encode(Parsed(words));
    return {Word(m, 0), Word(m, 1)};
}

TEST(DivivHostRequests, NamesAndNumbersBecomeTheRecordersCommandsAndParameters) {
    using P = std::pair<int, int>;
    EXPECT_EQ(OnWire({"quit"}), P(0, 0));
    EXPECT_EQ(OnWire({"status"}), P(1, 0));
    EXPECT_EQ(OnWire({"rec", "on"}), P(9, 1));
    EXPECT_EQ(OnWire({"rec", "off"}), P(9, 0));
    EXPECT_EQ(OnWire({"list"}), P(12, 0));
    EXPECT_EQ(OnWire({"card"}), P(13, 0));
    EXPECT_EQ(OnWire({"play", "3"}), P(14, 3));
    EXPECT_EQ(OnWire({"buffers"}), P(19, 0));
    EXPECT_EQ(OnWire({"save"}), P(25, 0));
    EXPECT_EQ(OnWire({"params"}), P(26, 0));
    EXPECT_EQ(OnWire({"mute", "on"}), P(82, 1));
    EXPECT_EQ(OnWire({"gps", "off"}), P(81, 0));
    // The recorder reads 0 as ON for automatic recording and protection.
    EXPECT_EQ(OnWire({"autorec", "on"}), P(27, 0));
    EXPECT_EQ(OnWire({"protect", "off"}), P(28, 1));
    EXPECT_EQ(OnWire({"key", "rec"}), P(30, 0));
    EXPECT_EQ(OnWire({"key", "stop"}), P(31, 0));
    EXPECT_EQ(OnWire({"key", "select"}), P(32, 0));
    EXPECT_EQ(OnWire({"key", "up"}), P(33, 0));
    EXPECT_EQ(OnWire({"key", "down"}), P(34, 0));
    EXPECT_EQ(OnWire({"speed-limit", "1129"}), P(105, 1129));
    // By number, with negative and hexadecimal parameters and none at all.
    EXPECT_EQ(OnWire({"111", "8001"}), P(111, 8001));
    EXPECT_EQ(OnWire({"8", "-5"}), P(8, -5));
    EXPECT_EQ(OnWire({"37", "0x10"}), P(37, 16));
    EXPECT_EQ(OnWire({"40"}), P(40, 0));
    EXPECT_EQ(diviv_host::ExpectedEcho(40), 41);
    EXPECT_EQ(diviv_host::ExpectedEcho(9), 9);
}

TEST(DivivHostRequests, ATextTravelsWithItsZeroByteAndNothingAfterIt) {
    const commsg_t id = diviv_host::Encode(Parsed({"id1", "CAR-0042"}));
    EXPECT_EQ(Word(id, 0), 72);
    EXPECT_STREQ(id.MsgData + 4, "CAR-0042");
    for (size_t i = 4 + 8; i < sizeof id.MsgData; ++i) EXPECT_EQ(id.MsgData[i], 0) << "byte " << i;

    const commsg_t pass = diviv_host::Encode(Parsed({"116", "1234"}));
    EXPECT_EQ(Word(pass, 0), 116);
    EXPECT_STREQ(pass.MsgData + 4, "1234");

    // 59 characters fill the text with its zero byte as the message's last.
    const std::string longest(59, 'x');
    const commsg_t full = diviv_host::Encode(Parsed({"id4", longest}));
    EXPECT_EQ(std::string(full.MsgData + 4), longest);
    EXPECT_EQ(full.MsgData[63], 0);
    Request r;
    std::string error;
    EXPECT_FALSE(diviv_host::ParseRequest({"id4", longest + "y"}, &r, &error));
}

TEST(DivivHostRequests, WordsThatNameNoCommandAreRefused) {
    for (const std::vector<std::string>& words : std::vector<std::vector<std::string>>{
             {},
             {"stats"},
             {"rec"},
             {"rec", "maybe"},
             {"status", "3"},
             {"play"},
             {"play", "x"},
             {"play", "3", "4"},
             {"key", "left"},
             {"id1"},
             {"id1", "two", "words"},
             {"9", "1x"},
             {"99999999999"},
         }) {
        Request r;
        std::string error;
        std::string joined;
        for (const std::string& w : words) joined += w + " ";
        EXPECT_FALSE(diviv_host::ParseRequest(words, &r, &error)) << joined;
        EXPECT_FALSE(error.empty()) << joined;
    }
}

TEST(DivivHostRequests, QueueIdsAreReadInHexOrDecimal) {
    int q = -1;
    EXPECT_TRUE(diviv_host::ParseQueueId("0x228007", &q));
    EXPECT_EQ(q, 0x228007);
    EXPECT_TRUE(diviv_host::ParseQueueId("2a8007", &q));  // hex letters: as the recorder's command line
    EXPECT_EQ(q, 0x2a8007);
    EXPECT_TRUE(diviv_host::ParseQueueId("32769", &q));  // as ipcs shows it
    EXPECT_EQ(q, 32769);
    EXPECT_TRUE(diviv_host::ParseQueueId("0", &q));
    EXPECT_EQ(q, 0);
    for (const char* bad : {"", "0x", "-1", "12g", "0x80000000", "99999999999", " 12"})
        EXPECT_FALSE(diviv_host::ParseQueueId(bad, &q)) << bad;
}

// ---------------------------------------------------------------------------
// The tool as a program against real queues.

struct ToolRun {
    int status = -1;
    std::string output;  // standard output and error
    double seconds = 0;
};

ToolRun RunTool(const std::string& args) {
    ToolRun run;
    const Clock::time_point start = Clock::now();
    std::FILE* p = ::popen((std::string(DIVIV_HOST_BIN) + " " + args + " 2>&1").c_str(), "r");
    if (p == nullptr) return run;
    char buf[512];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) run.output.append(buf, n);
    const int status = ::pclose(p);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return run;
}

std::string Hex(int qid) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%x", qid);
    return buf;
}

// Two private queues as boardsim creates them; the recorder's fetch reads
// them through its globals.
class DivivHostLink : public ::testing::Test {
protected:
    void SetUp() override {
        down_ = ::msgget(IPC_PRIVATE, IPC_CREAT | 0600);
        up_ = ::msgget(IPC_PRIVATE, IPC_CREAT | 0600);
        ASSERT_GE(down_, 0);
        ASSERT_GE(up_, 0);
        DRM_DOWN_QID = down_;
        DRM_UP_QID = up_;
    }
    void TearDown() override {
        if (down_ >= 0) ::msgctl(down_, IPC_RMID, nullptr);
        if (up_ >= 0) ::msgctl(up_, IPC_RMID, nullptr);
        DRM_DOWN_QID = DRM_UP_QID = 0;
    }
    std::string Queues() const { return "--queues " + Hex(down_) + " " + std::to_string(up_); }

    // The recorder's end: fetches commands the way its main loop does until
    // one arrives or `seconds` are over.
    struct Fetched {
        int result = 0;
        int command = -1;
        int param = -1;
        std::string text;
    };
    static Fetched FetchOne(double seconds) {
        Fetched f;
        char text[kHostMessageSize] = {};
        const auto end = Clock::now() + std::chrono::duration<double>(seconds);
        while (Clock::now() < end && (f.result = GetHostCommand(&f.command, &f.param, text)) == 0) {
        }
        f.text = text;
        return f;
    }
    void Reply(int echo) const {
        commsg_t m{};
        std::memcpy(m.MsgData, &echo, sizeof echo);
        ASSERT_EQ(g_MSG_Send(up_, &m, kHostMessageSize, 1, IPC_NOWAIT), 1);
    }

    int down_ = -1;
    int up_ = -1;
};

TEST_F(DivivHostLink, ACommandReachesTheRecorderAndItsAcknowledgementIsPrinted) {
    auto recorder = std::async(std::launch::async, [] { return FetchOne(10); });
    const ToolRun run = RunTool(Queues() + " rec on");
    const Fetched got = recorder.get();
    EXPECT_EQ(got.result, 1);
    EXPECT_EQ(got.command, 9);
    EXPECT_EQ(got.param, 1);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("diviv-host: acknowledged 9 (rec)"), std::string::npos) << run.output;

    // 40 is answered with 41, which the tool takes as its acknowledgement.
    recorder = std::async(std::launch::async, [] { return FetchOne(10); });
    const ToolRun ping = RunTool(Queues() + " ping");
    EXPECT_EQ(recorder.get().command, 40);
    EXPECT_EQ(ping.status, 0) << ping.output;
    EXPECT_NE(ping.output.find("acknowledged 41"), std::string::npos) << ping.output;

    // A text arrives whole in the recorder's text buffer.
    recorder = std::async(std::launch::async, [] { return FetchOne(10); });
    const ToolRun id = RunTool(Queues() + " id2 CAR-0042");
    const Fetched text = recorder.get();
    EXPECT_EQ(text.command, 73);
    EXPECT_EQ(text.text, "CAR-0042");
    EXPECT_EQ(id.status, 0) << id.output;
}

TEST_F(DivivHostLink, RepliesToOtherCommandsAreShownButNotTakenAsTheAcknowledgement) {
    Reply(9);  // left over from an earlier command
    auto recorder = std::async(std::launch::async, [] { return FetchOne(10); });
    const ToolRun run = RunTool(Queues() + " status");
    EXPECT_EQ(recorder.get().command, 1);
    EXPECT_EQ(run.status, 0) << run.output;
    const size_t other = run.output.find("reply 9 (rec) (not ours)");
    const size_t ours = run.output.find("acknowledged 1 (status)");
    ASSERT_NE(other, std::string::npos) << run.output;
    ASSERT_NE(ours, std::string::npos) << run.output;
    EXPECT_LT(other, ours);
}

TEST_F(DivivHostLink, NoAcknowledgementOrAFullQueueEndsWithATimeOut) {
    // Nobody answers: the command waits in the queue, the tool gives up.
    const ToolRun silent = RunTool("--timeout 0.3 " + Queues() + " status");
    EXPECT_EQ(silent.status, 1) << silent.output;
    EXPECT_NE(silent.output.find("no acknowledgement of 1 (status) within 0.3 s"), std::string::npos)
        << silent.output;
    EXPECT_LT(silent.seconds, 5);
    // An acknowledgement that never comes is not mistaken for another reply.
    Reply(12);
    const ToolRun wrong = RunTool("--timeout 0.3 " + Queues() + " status");
    EXPECT_EQ(wrong.status, 1) << wrong.output;

    // A command queue that stays full: nothing is sent, and the tool says so.
    commsg_t filler{};
    while (g_MSG_Send(down_, &filler, kHostMessageSize, 1, IPC_NOWAIT) == 1) {
    }
    const ToolRun full = RunTool("--timeout 0.3 " + Queues() + " status");
    EXPECT_EQ(full.status, 1) << full.output;
    EXPECT_NE(full.output.find("stayed full"), std::string::npos) << full.output;
}

TEST_F(DivivHostLink, QueuesThatCannotBeUsedAndBadWordsAreRefused) {
    const std::string gone = Hex(up_);
    ::msgctl(up_, IPC_RMID, nullptr);
    up_ = -1;
    const ToolRun run = RunTool("--queues " + Hex(down_) + " " + gone + " status");
    EXPECT_EQ(run.status, 3) << run.output;
    const ToolRun watch = RunTool("--queues " + Hex(down_) + " " + gone + " watch");
    EXPECT_EQ(watch.status, 3) << watch.output;
    // An id of digits only may have been copied from the recorder's command
    // line, where it is hexadecimal: the tool says how it read it.
    const std::string digits = gone.substr(2);
    msqid_ds other{};
    if (digits.find_first_not_of("0123456789") == std::string::npos &&
        ::msgctl(std::stoi(digits), IPC_STAT, &other) != 0) {
        const ToolRun hinted = RunTool("--queues " + Hex(down_) + " " + digits + " watch");
        EXPECT_EQ(hinted.status, 3) << hinted.output;
        EXPECT_NE(hinted.output.find(digits + " was read as decimal; write 0x" + digits), std::string::npos)
            << hinted.output;
    }

    EXPECT_EQ(RunTool(Queues() + " rec maybe").status, 2);
    EXPECT_EQ(RunTool("--queues 12g 4 status").status, 2);
    EXPECT_EQ(RunTool("status").status, 2);
    // Nothing was sent for the refused words.
    msqid_ds ds{};
    ASSERT_EQ(::msgctl(down_, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.msg_qnum, 1u);  // only the status of the removed reply queue
}

TEST_F(DivivHostLink, WatchPrintsRepliesInOrderUntilTheQueueIsRemoved) {
    // The arguments are made here: the queue's id is changed below while the
    // tool runs.
    const std::string args = Queues() + " watch";
    auto watch = std::async(std::launch::async, [this, args] { return RunTool(args); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Reply(1);
    Reply(41);
    Reply(77);
    // The board going away removes the queue: the watch ends by itself.
    const Clock::time_point end = Clock::now() + std::chrono::seconds(10);
    msqid_ds ds{};
    while (::msgctl(up_, IPC_STAT, &ds) == 0 && ds.msg_qnum > 0 && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ::msgctl(up_, IPC_RMID, nullptr);
    up_ = -1;
    ASSERT_EQ(watch.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const ToolRun run = watch.get();
    EXPECT_EQ(run.status, 0) << run.output;
    const size_t a = run.output.find("reply 1 (status)");
    const size_t b = run.output.find("reply 41 (ping)");
    const size_t c = run.output.find("reply 77\n");
    ASSERT_NE(a, std::string::npos) << run.output;
    ASSERT_NE(b, std::string::npos) << run.output;
    ASSERT_NE(c, std::string::npos) << run.output;
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
    EXPECT_NE(run.output.find("is gone"), std::string::npos) << run.output;

    // With --count the watch ends after that many replies.
    up_ = ::msgget(IPC_PRIVATE, IPC_CREAT | 0600);
    ASSERT_GE(up_, 0);
    Reply(13);
    Reply(26);
    Reply(19);
    const ToolRun two = RunTool(Queues() + " watch --count 2");
    EXPECT_EQ(two.status, 0) << two.output;
    EXPECT_NE(two.output.find("reply 26 (params)"), std::string::npos) << two.output;
    EXPECT_EQ(two.output.find("reply 19"), std::string::npos) << two.output;
}

// ---------------------------------------------------------------------------
// The real recorder on a simulated board, driven by the tool.

std::string ReadFile(const std::string& path) { return diviv::sim::ReadTextFile(path); }

// Finds "boardsim: host queues DOWN=0x.. UP=0x.. (diviv-host --queues 0x.. 0x.. status"
// in boardsim's output; false until the whole line is there.
bool HostQueueLine(const std::string& out, std::string* down, std::string* up) {
    const std::string head = "boardsim: host queues DOWN=";
    const size_t at = out.find(head);
    if (at == std::string::npos) return false;
    const size_t eol = out.find('\n', at);
    if (eol == std::string::npos) return false;
    std::istringstream line(out.substr(at + head.size(), eol - at - head.size()));
    std::string d, u;
    line >> d >> u;
    if (u.rfind("UP=", 0) != 0) return false;
    u = u.substr(3);
    const bool hex = d.rfind("0x", 0) == 0 && u.rfind("0x", 0) == 0;
    if (!hex || out.substr(at, eol - at).find("(diviv-host --queues " + d + " " + u + " status") == std::string::npos)
        return false;
    *down = d;
    *up = u;
    return true;
}

TEST(DivivHostOnBoard, TheToolDrivesTheRecorderOnASimulatedBoard) {
    const std::string dir = MakeTempDir("diviv-host-e2e-");
    ASSERT_FALSE(dir.empty());
    std::string error;
    ASSERT_TRUE(diviv::sim::CreateSimBoard(dir, {}, &error)) << error;
    // boardsim leaves the replies to the tool; the run ends when the
    // recorder does (host command 0 from the tool).
    const std::string scenario = dir + "/sim/scenario.txt";
    ASSERT_TRUE(diviv::sim::WriteTextFile(scenario,
                                          "0 host replies off\n"
                                          "0 wait line \"######## Current Application Status\" within 90\n"
                                          "+0 wait line \"DiViv : Set Audio Mute OK [Mute is ON]\" within 60\n"
                                          "+0 expect exit 0 within 60\n"));
    const std::string log = dir + "/sim/run.log";
    const pid_t sim = ::fork();
    ASSERT_GE(sim, 0);
    // A failed check must not leave the board running: boardsim ends the
    // recorder and removes the queues when it is ended.
    struct Reaper {
        pid_t pid;
        bool reaped = false;
        ~Reaper() {
            if (reaped || pid <= 0) return;
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    } reaper{sim};
    if (sim == 0) {
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, STDOUT_FILENO);
        ::dup2(fd, STDERR_FILENO);
        ::execl(BOARDSIM_BIN, BOARDSIM_BIN, "run", dir.c_str(), "--scenario", scenario.c_str(), "--timeout",
                "150", "--", DIVIV_BIN, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // The line boardsim prints for the tool: both ids in hexadecimal, and the
    // command to type with them.
    std::string down, up, out;
    for (const Clock::time_point end = Clock::now() + std::chrono::seconds(20); Clock::now() < end;) {
        out = ReadFile(log);
        if (HostQueueLine(out, &down, &up)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_FALSE(down.empty()) << out;
    const std::string queues = "--queues " + down + " " + up;

    // The first command waits for the start-up to reach the main loop.
    const ToolRun status = RunTool("--timeout 90 " + queues + " status");
    const ToolRun mute = RunTool("--timeout 30 " + queues + " mute on");
    const ToolRun params = RunTool("--timeout 30 " + queues + " params");
    const ToolRun quit = RunTool("--timeout 30 " + queues + " quit");
    int wstatus = 0;
    reaper.reaped = ::waitpid(sim, &wstatus, 0) == sim;
    out = ReadFile(log);

    EXPECT_EQ(status.status, 0) << status.output << out;
    EXPECT_NE(status.output.find("diviv-host: acknowledged 1 (status)"), std::string::npos) << status.output;
    EXPECT_NE(out.find(" Apllication State is [ "), std::string::npos) << out;
    EXPECT_EQ(mute.status, 0) << mute.output;
    EXPECT_NE(out.find("DiViv : Set Mute 1"), std::string::npos) << out;
    EXPECT_EQ(params.status, 0) << params.output;
    EXPECT_EQ(quit.status, 0) << quit.output;
    EXPECT_NE(quit.output.find("acknowledged 0 (quit)"), std::string::npos) << quit.output;
    ASSERT_TRUE(WIFEXITED(wstatus)) << out;
    EXPECT_EQ(WEXITSTATUS(wstatus), 0) << out;
    EXPECT_NE(out.find("program ended by itself, exit status 0"), std::string::npos) << out;
    std::error_code ec;
    if (!::testing::Test::HasFailure()) std::filesystem::remove_all(dir, ec);
}

}  // namespace
