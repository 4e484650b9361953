#include <gtest/gtest.h>

#include "Scenario.h"

namespace {

using boardsim::ParseScenario;
using boardsim::ParseStep;
using boardsim::Step;
using boardsim::Verb;

TEST(ScenarioParse, ReadsEveryVerbWithItsArguments) {
    const char* text =
        "# start-up\n"
        "0     expect line \"DiViv : ### Varnex \\\"Drive\\\" Recorder\" within 20   # quoted, with #\n"
        "\n"
        "2.5   key select\n"
        "+1    hold stop+select 3.5\n"
        "+0.5  host 9 1\n"
        "+0    host 72 \"ID 0001\"\n"
        "10    ignition off\n"
        "10    power lost\n"
        "11    powersw on\n"
        "11    card remove\n"
        "12    expect led 1,0,3\n"
        "12    wait led 1 1 0 within 2\n"
        "13    screenshot out/list.png\n"
        "14    expect noline \"Recording Stop\"\n"
        "15    expect off within 40\n"
        "15    expect exit 0\n"
        "15    expect on\n"
        "16    end\n"
        "17    host fill 2\n"
        "17    host replies off\n";
    std::vector<Step> steps;
    std::string error;
    ASSERT_TRUE(ParseScenario(text, &steps, &error)) << error;
    ASSERT_EQ(steps.size(), 19u);

    EXPECT_EQ(steps[0].verb, Verb::ExpectLine);
    EXPECT_EQ(steps[0].text, "DiViv : ### Varnex \"Drive\" Recorder");
    EXPECT_EQ(steps[0].seconds, 20);
    EXPECT_EQ(steps[0].line_no, 2);

    EXPECT_EQ(steps[1].verb, Verb::Key);
    EXPECT_EQ(steps[1].time, 2.5);
    EXPECT_FALSE(steps[1].relative);
    ASSERT_EQ(steps[1].keys.size(), 1u);
    EXPECT_EQ(steps[1].keys[0]->code, 4);
    EXPECT_EQ(steps[1].source, "key select");

    EXPECT_EQ(steps[2].verb, Verb::Hold);
    EXPECT_TRUE(steps[2].relative);
    EXPECT_EQ(steps[2].time, 1);
    ASSERT_EQ(steps[2].keys.size(), 2u);
    EXPECT_EQ(steps[2].keys[0]->held_bit | steps[2].keys[1]->held_bit, 0x5u);
    EXPECT_EQ(steps[2].seconds, 3.5);

    EXPECT_EQ(steps[3].verb, Verb::Host);
    EXPECT_EQ(steps[3].command, 9);
    EXPECT_EQ(steps[3].param, 1);
    EXPECT_FALSE(steps[3].text_param);
    EXPECT_TRUE(steps[4].text_param);
    EXPECT_EQ(steps[4].text, "ID 0001");

    EXPECT_EQ(steps[5].verb, Verb::Ignition);
    EXPECT_FALSE(steps[5].on);
    EXPECT_EQ(steps[6].verb, Verb::Power);
    EXPECT_FALSE(steps[6].on) << "'lost' means the supply is gone";
    EXPECT_EQ(steps[7].verb, Verb::PowerSwitch);
    EXPECT_TRUE(steps[7].on);
    EXPECT_EQ(steps[8].verb, Verb::Card);
    EXPECT_FALSE(steps[8].on);
    EXPECT_EQ(steps[9].led, (std::array<int, 3>{1, 0, 3}));
    EXPECT_EQ(steps[10].verb, Verb::WaitLed);
    EXPECT_EQ(steps[10].seconds, 2);
    EXPECT_EQ(steps[11].text, "out/list.png");
    EXPECT_EQ(steps[12].verb, Verb::ExpectNoLine);
    EXPECT_EQ(steps[13].verb, Verb::ExpectOff);
    EXPECT_EQ(steps[14].verb, Verb::ExpectExit);
    EXPECT_EQ(steps[14].status, 0);
    EXPECT_EQ(steps[15].verb, Verb::ExpectOn);
    EXPECT_EQ(steps[16].verb, Verb::End);
    EXPECT_EQ(steps[17].verb, Verb::HostFill);
    EXPECT_EQ(steps[17].command, 2) << "the message type";
    EXPECT_EQ(steps[18].verb, Verb::HostReplies);
    EXPECT_FALSE(steps[18].on);
}

TEST(ScenarioParse, MistakesAreReportedWithTheirLine) {
    struct Case {
        const char* text;
        const char* expected;
    };
    const Case cases[] = {
        {"0 key stop\nkey rec\n", "line 2: a step starts with its time"},
        {"1 ignition sideways\n", "line 1: expected 'on' or 'off'"},
        {"1 key start\n", "line 1: unknown key 'start'"},
        {"1 hold stop\n", "line 1: 'hold' takes keys and a time"},
        {"1 hold stop 0\n", "line 1: bad hold time"},
        {"1 expect led 1 9 0\n", "line 1: LED modes are"},
        {"1 expect led 1 1\n", "line 1: an LED triple needs three modes"},
        {"1 expect line \"open\n", "line 1: unterminated quote"},
        {"1 wait noline \"x\"\n", "line 1: 'wait noline'"},
        {"1 host nine\n", "line 1: 'host' takes a command number"},
        {"1 host 9 x\n", "line 1: bad integer parameter"},
        {"1 host fill 0\n", "line 1: 'host fill' takes a message type of 1 or more"},
        {"1 host replies maybe\n", "line 1: expected 'on' or 'off'"},
        {"-1 end\n", "line 1: a step starts with its time"},
        {"1 fly away\n", "line 1: unknown verb 'fly'"},
        {"1 expect line \"a\" within soon\n", "line 1: bad time after 'within'"},
    };
    for (const Case& c : cases) {
        std::vector<Step> steps;
        std::string error;
        EXPECT_FALSE(ParseScenario(c.text, &steps, &error)) << c.text;
        EXPECT_EQ(error.rfind(c.expected, 0), 0u) << "for " << c.text << " got: " << error;
    }
    std::vector<Step> steps;
    std::string error;
    const std::string long_text = "1 host 73 " + std::string(60, 'a') + "\n";
    EXPECT_FALSE(ParseScenario(long_text, &steps, &error)) << "a text parameter that cannot fit the message";
}

TEST(ScenarioParse, ControlLinesHaveNoTime) {
    Step s;
    std::string error;
    ASSERT_TRUE(ParseStep("hold rec 1.5", &s, &error)) << error;
    EXPECT_EQ(s.verb, Verb::Hold);
    EXPECT_EQ(s.keys[0]->code, 0) << "REC is reported only as a held key";
    EXPECT_TRUE(boardsim::IsAction(s.verb));
    ASSERT_TRUE(ParseStep("expect off", &s, &error));
    EXPECT_FALSE(boardsim::IsAction(s.verb));
    EXPECT_FALSE(ParseStep("12 key stop", &s, &error));
}

}  // namespace

TEST(ScenarioParse, CameraFaults) {
    std::vector<boardsim::Step> steps;
    std::string error;
    ASSERT_TRUE(boardsim::ParseScenario("1 camera drop 12\n2 camera stall 1.5\n3 camera eio\n4 camera eio 3\n", &steps,
                                        &error))
        << error;
    ASSERT_EQ(steps.size(), 4u);
    EXPECT_EQ(steps[0].verb, boardsim::Verb::Camera);
    EXPECT_EQ(steps[0].text, "drop");
    EXPECT_EQ(steps[0].param, 12);
    EXPECT_EQ(steps[1].text, "stall");
    EXPECT_EQ(steps[1].seconds, 1.5);
    EXPECT_EQ(steps[2].text, "eio");
    EXPECT_EQ(steps[2].param, 1) << "one dequeue unless a count is given";
    EXPECT_EQ(steps[3].param, 3);
    EXPECT_TRUE(boardsim::IsAction(boardsim::Verb::Camera)) << "boardsim ctl takes it too";
    for (const char* bad : {"1 camera\n", "1 camera drop\n", "1 camera drop 0\n", "1 camera stall -1\n",
                            "1 camera eio x\n", "1 camera melt 2\n"}) {
        EXPECT_FALSE(boardsim::ParseScenario(bad, &steps, &error)) << bad;
        EXPECT_NE(error.find("'camera' takes drop N, stall SECONDS or eio [COUNT]"), std::string::npos) << error;
    }
}

TEST(ScenarioParse, MicrophoneSteps) {
    std::vector<boardsim::Step> steps;
    std::string error;
    ASSERT_TRUE(boardsim::ParseScenario("1 microphone eintr\n2 microphone timeout 2\n3 microphone stall 0.5\n"
                                        "4 microphone sounds/horn.wav\n5 microphone tone\n",
                                        &steps, &error))
        << error;
    ASSERT_EQ(steps.size(), 5u);
    EXPECT_EQ(steps[0].verb, boardsim::Verb::Microphone);
    EXPECT_EQ(steps[0].text, "eintr");
    EXPECT_EQ(steps[0].param, 1) << "one read unless a count is given";
    EXPECT_EQ(steps[1].text, "timeout");
    EXPECT_EQ(steps[1].param, 2);
    EXPECT_EQ(steps[2].text, "stall");
    EXPECT_EQ(steps[2].seconds, 0.5);
    EXPECT_EQ(steps[3].text, "sounds/horn.wav");
    EXPECT_EQ(steps[4].text, "tone");
    EXPECT_TRUE(boardsim::IsAction(boardsim::Verb::Microphone)) << "boardsim ctl takes it too";
    for (const char* bad : {"1 microphone\n", "1 microphone stall\n", "1 microphone stall 0\n", "1 microphone eintr 0\n",
                            "1 microphone timeout x\n", "1 microphone a.wav b.wav\n"}) {
        EXPECT_FALSE(boardsim::ParseScenario(bad, &steps, &error)) << bad;
        EXPECT_NE(error.find("'microphone' takes FILE, tone, eintr [COUNT], timeout [COUNT] or stall SECONDS"),
                  std::string::npos)
            << error;
    }
}
