// The scripted drive's steps in boardsim: how they are written, and the
// contact step through the board's input word to the recorder's contact bits.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "BoardInputs.h"
#include "Scenario.h"
#include "platform/Board.h"
#include "sensors/PulseAndContReceiveThread.h"
#include "sim/SimBoard.h"
#include "support/SimBoardFixture.h"

namespace {

using boardsim::ParseScenario;
using boardsim::ParseStep;
using boardsim::Step;
using boardsim::Verb;

TEST(VehicleSteps, ParseWithTheirArguments) {
    std::vector<Step> steps;
    std::string error;
    ASSERT_TRUE(ParseScenario("0 speed 60\n"
                              "+1 engine 2500.5\n"
                              "+0 shock -0.8 0 1.5\n"
                              "+0 accel 0.2 -0.1 0\n"
                              "+0 contact 3 on\n"
                              "+0 contact 6 off\n"
                              "+0 gsensor position 20\n",
                              &steps, &error))
        << error;
    ASSERT_EQ(steps.size(), 7u);
    EXPECT_EQ(steps[0].verb, Verb::Speed);
    EXPECT_EQ(steps[0].value, 60);
    EXPECT_EQ(steps[1].verb, Verb::Engine);
    EXPECT_EQ(steps[1].value, 2500.5);
    EXPECT_EQ(steps[2].verb, Verb::Shock);
    EXPECT_EQ(steps[2].g, (std::array<double, 3>{-0.8, 0, 1.5}));
    EXPECT_EQ(steps[3].verb, Verb::Accel);
    EXPECT_EQ(steps[3].g, (std::array<double, 3>{0.2, -0.1, 0}));
    EXPECT_EQ(steps[4].verb, Verb::Contact);
    EXPECT_EQ(steps[4].param, 3);
    EXPECT_TRUE(steps[4].on);
    EXPECT_EQ(steps[5].param, 6);
    EXPECT_FALSE(steps[5].on);
    EXPECT_EQ(steps[6].verb, Verb::Gsensor);
    EXPECT_EQ(steps[6].param, 20);
    for (const Step& s : steps) EXPECT_TRUE(boardsim::IsAction(s.verb));
}

TEST(VehicleSteps, RefuseWhatTheBoardCannotDo) {
    for (const char* bad : {"speed", "speed -5", "speed fast", "engine", "shock 1 2", "shock 1 2 x", "accel 20 0 0",
                            "contact 7 on", "contact -1 on", "contact 3 maybe", "contact 3", "gsensor position 0",
                            "gsensor position 25", "gsensor 3"}) {
        Step s;
        std::string error;
        EXPECT_FALSE(ParseStep(bad, &s, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

class ContactStepTest : public SimBoardTest {};

TEST_F(ContactStepTest, ActiveContactsReadAsOnesWithKeysHeldAlongside) {
    boardsim::BoardInputs inputs(root_);
    auto sigin = [&] { return ContactInputBits(Read("/proc/driver/input")); };
    EXPECT_EQ(sigin(), 0u) << "a fresh board: no contact active";
    inputs.SetContact(3, true);  // active-low: its line goes low
    EXPECT_EQ(Read("/proc/driver/input"), "00000e00\n");
    EXPECT_EQ(sigin(), 0x08u);
    inputs.SetContact(5, true);  // active-high
    EXPECT_EQ(sigin(), 0x28u);
    inputs.HoldKey(*boardsim::FindKey("stop"), true);
    EXPECT_EQ(sigin(), 0x28u) << "a held key keeps the contacts";
    EXPECT_EQ(Read("/proc/driver/input"), "00004e01\n");
    inputs.SetContact(3, false);
    inputs.SetContact(0, true);
    EXPECT_EQ(sigin(), 0x21u);
    inputs.HoldKey(*boardsim::FindKey("stop"), false);
    for (int n = 0; n <= 6; ++n) inputs.SetContact(n, true);
    EXPECT_EQ(sigin(), 0x7Fu);
    for (int n = 0; n <= 6; ++n) inputs.SetContact(n, false);
    EXPECT_EQ(Read("/proc/driver/input"), "00001e00\n");
}

TEST_F(ContactStepTest, TheRecorderNeverReadsAHalfWrittenInputWord) {
    boardsim::BoardInputs inputs(root_);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) inputs.SetContact(i % 7, (i / 7) % 2 == 0);
        done = true;
    });
    int reads = 0, whole = 0;
    while (!done.load()) {
        char buf[32];
        const int n = diviv::TheBoard().InputDevices().ReadDriverFile("/proc/driver/input", buf, 31);
        ++reads;
        whole += n == 9 ? 1 : 0;
    }
    writer.join();
    EXPECT_EQ(whole, reads) << "every read sees a whole line, as from the driver";
}

}  // namespace
