#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/stat.h>

#include <cstring>
#include <thread>
#include <vector>

#include "SpineFixture.h"
#include "core/DR_common.h"
#include "core/HostQueue.h"

namespace {

// Sends a raw message of any text length, as a misbehaving host might.
void SendRaw(int qid, const std::vector<char>& text, long type = 1) {
    std::vector<char> buf(sizeof(long) + text.size());
    std::memcpy(buf.data(), &type, sizeof type);
    std::memcpy(buf.data() + sizeof(long), text.data(), text.size());
    ASSERT_EQ(::msgsnd(qid, buf.data(), text.size(), IPC_NOWAIT), 0);
}

std::vector<char> Command(int32_t command, int32_t param) {
    std::vector<char> text(kHostMessageSize, 0);
    std::memcpy(text.data(), &command, 4);
    std::memcpy(text.data() + 4, &param, 4);
    return text;
}

std::vector<char> TextCommand(int32_t command, const char* parameter) {
    std::vector<char> text(kHostMessageSize, 0);
    std::memcpy(text.data(), &command, 4);
    std::memcpy(text.data() + 4, parameter, std::strlen(parameter));
    return text;
}

// A private queue whose id is not 0 (0 is how the recorder marks a queue it
// never created, and is left alone by MSG_Clear).
int NewPrivateQueue() {
    int qid = ::msgget(IPC_PRIVATE, IPC_CREAT | 0600);
    if (qid == 0) {
        const int other = ::msgget(IPC_PRIVATE, IPC_CREAT | 0600);
        ::msgctl(qid, IPC_RMID, nullptr);
        qid = other;
    }
    return qid;
}

size_t Waiting(int qid) {
    msqid_ds ds{};
    ::msgctl(qid, IPC_STAT, &ds);
    return ds.msg_qnum;
}

class HostQueueTest : public SpineTest {
protected:
    void SetUp() override {
        SpineTest::SetUp();
        DRM_DOWN_QID = NewPrivateQueue();
        DRM_UP_QID = NewPrivateQueue();
        ASSERT_GT(DRM_DOWN_QID, 0);
        ASSERT_GT(DRM_UP_QID, 0);
    }
    void TearDown() override {
        g_MSG_Delete(DRM_DOWN_QID);
        g_MSG_Delete(DRM_UP_QID);
        DRM_DOWN_QID = DRM_UP_QID = 0;
        SpineTest::TearDown();
    }
    // The next acknowledgement's text, or an empty vector.
    std::vector<char> Reply() {
        std::vector<char> text(kHostMessageSize);
        if (g_MSG_Recv(DRM_UP_QID, text.data(), kHostMessageSize, 1, IPC_NOWAIT) != 1) return {};
        return text;
    }
    int command_ = -1, param_ = -1;
    char text_[kHostMessageSize] = {};
};

TEST_F(HostQueueTest, WithNoCommandAFetchTakesAboutATenthOfASecond) {
    const int64_t ms = TimedMs([&] { EXPECT_EQ(GetHostCommand(&command_, &param_, text_), 0); });
    EXPECT_GE(ms, 95);
    EXPECT_LT(ms, 500);
    EXPECT_EQ(Waiting(DRM_UP_QID), 0u) << "acknowledged a command that never came";
}

TEST_F(HostQueueTest, MessagesOfTheWrongLengthAreConsumedAndIgnored) {
    SendRaw(DRM_DOWN_QID, std::vector<char>(63, 1));
    SendRaw(DRM_DOWN_QID, std::vector<char>(65, 1));
    EXPECT_EQ(GetHostCommand(&command_, &param_, text_), 0);
    EXPECT_EQ(Waiting(DRM_DOWN_QID), 0u) << "a malformed message stayed at the head of the queue";
    EXPECT_EQ(Waiting(DRM_UP_QID), 0u);

    // The queue works on afterwards.
    SendRaw(DRM_DOWN_QID, Command(9, 1));
    EXPECT_EQ(GetHostCommand(&command_, &param_, text_), 1);
    EXPECT_EQ(command_, 9);
    EXPECT_EQ(param_, 1);
}

TEST_F(HostQueueTest, EveryCommandIsEchoedAndFortyIsAnsweredWithFortyOne) {
    for (int32_t cmd : {40, 9, 0, 12345}) {
        SendRaw(DRM_DOWN_QID, Command(cmd, 7));
        ASSERT_EQ(GetHostCommand(&command_, &param_, text_), 1);
        EXPECT_EQ(command_, cmd);
        EXPECT_EQ(param_, 7);
        const std::vector<char> reply = Reply();
        ASSERT_EQ(reply.size(), static_cast<size_t>(kHostMessageSize));
        int32_t echo;
        std::memcpy(&echo, reply.data(), 4);
        EXPECT_EQ(echo, cmd == 40 ? 41 : cmd);
        for (size_t i = 4; i < reply.size(); ++i) ASSERT_EQ(reply[i], 0) << "byte " << i;
    }
}

TEST_F(HostQueueTest, TextParametersAreTakenWholeWithNothingLeftOver) {
    SendRaw(DRM_DOWN_QID, TextCommand(72, "ABCDEFGHIJ"));
    testing::internal::CaptureStdout();
    ASSERT_EQ(GetHostCommand(&command_, &param_, text_), 1);
    SendRaw(DRM_DOWN_QID, TextCommand(73, "XY"));
    ASSERT_EQ(GetHostCommand(&command_, &param_, text_), 1);
    SendRaw(DRM_DOWN_QID, TextCommand(116, "1234"));
    char pwd[kHostMessageSize];
    ASSERT_EQ(GetHostCommand(&command_, &param_, pwd), 1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::string(text_), "XY");
    EXPECT_EQ(std::memcmp(text_, "XY\0\0\0\0\0\0\0\0\0", 11), 0);
    EXPECT_EQ(std::string(pwd), "1234");
    EXPECT_NE(out.find("Receive ID = ABCDEFGHIJ\nReceive ID = XY\nReceive PWD = 1234\n"), std::string::npos)
        << out;

    // A 60-byte text without a terminator still ends inside the buffer.
    std::vector<char> full = TextCommand(74, "");
    std::memset(full.data() + 4, 'Z', 60);
    SendRaw(DRM_DOWN_QID, full);
    ASSERT_EQ(GetHostCommand(&command_, &param_, text_), 1);
    EXPECT_EQ(std::string(text_), std::string(60, 'Z'));
}

TEST_F(HostQueueTest, FullReplyQueueIsRetriedUntilTheHostReads) {
    // Room for exactly one reply; fill it.
    msqid_ds ds{};
    ASSERT_EQ(::msgctl(DRM_UP_QID, IPC_STAT, &ds), 0);
    ds.msg_qbytes = kHostMessageSize;
    ASSERT_EQ(::msgctl(DRM_UP_QID, IPC_SET, &ds), 0);
    SendRaw(DRM_UP_QID, Command(99, 0));

    SendRaw(DRM_DOWN_QID, Command(1, 0));
    std::thread host([this] {
        dr_usleep(300000);
        Reply();
    });
    const int64_t ms = TimedMs([&] { EXPECT_EQ(GetHostCommand(&command_, &param_, text_), 1); });
    host.join();
    EXPECT_GE(ms, 300);
    int32_t echo = 0;
    const std::vector<char> reply = Reply();
    ASSERT_FALSE(reply.empty());
    std::memcpy(&echo, reply.data(), 4);
    EXPECT_EQ(echo, 1);
}

TEST_F(HostQueueTest, AHostThatStopsReadingRepliesCostsASecondPerCommandNotTheRecorder) {
    // Room for exactly one reply, taken by a reply the host never reads.
    msqid_ds ds{};
    ASSERT_EQ(::msgctl(DRM_UP_QID, IPC_STAT, &ds), 0);
    ds.msg_qbytes = kHostMessageSize;
    ASSERT_EQ(::msgctl(DRM_UP_QID, IPC_SET, &ds), 0);
    SendRaw(DRM_UP_QID, Command(99, 0));

    SendRaw(DRM_DOWN_QID, Command(9, 1));
    SendRaw(DRM_DOWN_QID, Command(0, 0));
    testing::internal::CaptureStdout();
    for (int32_t expected : {9, 0}) {
        // Retried for about a second, then the command is handed over all the same.
        const int64_t ms = TimedMs([&] { EXPECT_EQ(GetHostCommand(&command_, &param_, text_), 1); });
        EXPECT_EQ(command_, expected);
        EXPECT_GE(ms, 900);
        EXPECT_LT(ms, 5000);
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("DiViv : Reply queue full, acknowledgement of command 9 dropped\n"
                       "DiViv : Reply queue full, acknowledgement of command 0 dropped\n"),
              std::string::npos)
        << out;
    // Only the old reply waits; once the host reads again, replies flow.
    EXPECT_EQ(Waiting(DRM_UP_QID), 1u);
    Reply();
    SendRaw(DRM_DOWN_QID, Command(1, 0));
    ASSERT_EQ(GetHostCommand(&command_, &param_, text_), 1);
    const std::vector<char> reply = Reply();
    ASSERT_FALSE(reply.empty());
    EXPECT_EQ(reply[0], 1);
}

TEST_F(HostQueueTest, MessagesOfOtherTypesAreDroppedSoThatTheyCannotFillTheQueue) {
    // A host filling the command queue with type-2 messages, then command 0.
    std::vector<char> junk = Command(5, 0);
    std::vector<char> buf(sizeof(long) + junk.size());
    const long type2 = 2;
    std::memcpy(buf.data(), &type2, sizeof type2);
    std::memcpy(buf.data() + sizeof(long), junk.data(), junk.size());
    size_t filled = 0;
    while (::msgsnd(DRM_DOWN_QID, buf.data(), junk.size(), IPC_NOWAIT) == 0) ++filled;
    ASSERT_GT(filled, 100u) << "the queue should hold hundreds of messages";

    testing::internal::CaptureStdout();
    bool zero = false;
    int calls = 0;
    const int64_t ms = TimedMs([&] {
        bool sent = false;
        while (!zero && calls < 200) {
            ++calls;
            const int r = GetHostCommand(&command_, &param_, text_);
            if (r == 1) {
                EXPECT_EQ(command_, 0);
                zero = true;
            }
            // The first call made room: the command goes in behind the junk.
            if (!sent) {
                SendRaw(DRM_DOWN_QID, Command(0, 0));
                sent = true;
            }
        }
    });
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(zero) << "command 0 never came through";
    size_t lines = 0;
    for (size_t at = 0; (at = out.find("DiViv : Host message of type 2 dropped\n", at)) != std::string::npos; ++at)
        ++lines;
    EXPECT_EQ(lines, filled);
    // Junk is dropped without the fetch's waits (64 per call), so that the
    // command behind it is not held up for seconds; each call still paces.
    EXPECT_LE(calls, static_cast<int>(filled / 64 + 3));
    EXPECT_LT(ms, 5000);
    EXPECT_EQ(Waiting(DRM_DOWN_QID), 0u);
    const std::vector<char> reply = Reply();
    ASSERT_FALSE(reply.empty());
    EXPECT_EQ(Waiting(DRM_UP_QID), 0u) << "dropped messages were acknowledged";
}

TEST_F(HostQueueTest, WrappersReportEmptyShortAndDrainedQueues) {
    char text[kHostMessageSize];
    EXPECT_EQ(g_MSG_Recv(DRM_DOWN_QID, text, kHostMessageSize, 1, IPC_NOWAIT), -2);
    SendRaw(DRM_DOWN_QID, Command(5, 0), /*type=*/2);
    EXPECT_EQ(g_MSG_Recv(DRM_DOWN_QID, text, kHostMessageSize, 1, IPC_NOWAIT), 0) << "took another type";

    SendRaw(DRM_DOWN_QID, Command(6, 0));
    SendRaw(DRM_DOWN_QID, std::vector<char>(3, 0));
    SendRaw(DRM_DOWN_QID, Command(8, 0));
    EXPECT_EQ(MSG_Clear(DRM_DOWN_QID), 8);
    EXPECT_EQ(Waiting(DRM_DOWN_QID), 0u);
    EXPECT_EQ(MSG_Clear(DRM_DOWN_QID), 0);

    EXPECT_EQ(g_MSG_Send(DRM_UP_QID, text, kHostMessageSize, 1, IPC_NOWAIT), 1);
    EXPECT_EQ(g_MSG_Send(-5, text, kHostMessageSize, 1, IPC_NOWAIT), -1);
    EXPECT_EQ(g_MSG_Create("/no/such/dir"), -2);
}

class WorkerQueueTest : public SpineTest {
protected:
    void TearDown() override {
        for (int32_t qid : {drc->APP_QID, drc->CM_QID, drc->VC_QID, drc->VE_QID, drc->AD_QID, drc->VD_QID}) {
            if (qid > 0) g_MSG_Delete(qid);
        }
        SpineTest::TearDown();
    }
    void MakeDirs(int count) {
        for (int i = 1; i <= count; ++i) ASSERT_EQ(::mkdir(Path("/var/tmp/msgque" + std::to_string(i)).c_str(), 0700), 0);
    }
};

TEST_F(WorkerQueueTest, CreatesSixDistinctQueuesAndDrainsLeftovers) {
    MakeDirs(6);
    // A message left from an earlier run on the codec manager's queue.
    const int old = g_MSG_Create(Path("/var/tmp/msgque2").c_str());
    ASSERT_GE(old, 0);
    SendRaw(old, Command(77, 0));

    ASSERT_EQ(SetupMessageQue(), 0);
    const int32_t ids[6] = {drc->APP_QID, drc->CM_QID, drc->VC_QID, drc->VE_QID, drc->AD_QID, drc->VD_QID};
    for (int i = 0; i < 6; ++i) {
        EXPECT_GE(ids[i], 0);
        for (int j = 0; j < i; ++j) EXPECT_NE(ids[i], ids[j]);
    }
    EXPECT_EQ(drc->CM_QID, old);
    EXPECT_EQ(Waiting(drc->CM_QID), 0u);
}

TEST_F(WorkerQueueTest, AMissingQueueIsLoggedAndShownOnTheLeds) {
    MakeDirs(2);
    testing::internal::CaptureStdout();
    EXPECT_EQ(SetupMessageQue(), -1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Process: Error: failed to create or get MsgQue3 ["), std::string::npos) << out;
    EXPECT_NE(Read(diviv::sim::kLogRecordFile).find("0xf0000000,Failure of memory allocation."),
              std::string::npos);
    EXPECT_EQ(LedMode, (std::array<uint8_t, 3>{1, 0, 2}));
    EXPECT_EQ(Led(3, "trigger"), "timer");
}

}  // namespace
