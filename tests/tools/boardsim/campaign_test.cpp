// The power-cut campaign's judgement: what a run's console says was
// finished, how the next start will take the index, and what a cut leaves
// of a file.
#include <gtest/gtest.h>

#include <string>

#include "Campaign.h"

namespace {

using boardsim::IndexState;

// One index line as the recorder writes it (46 characters with the LF).
std::string IndexLine(const std::string& name) {
    std::string line = name;
    line.resize(13, ' ');
    return line + " 0001401 1796722646 2048 0 005 0\n";
}

TEST(CampaignRunLog, AFileCountsAsFinishedOnlyOnceEnteredInTheIndex) {
    const std::string log =
        "DiViv : Start auto recoding ### [1]\n"
        "AM : Next File is /b/mnt/mmc0_p1/DATA/00/FILE00007.ASF\n"
        "AM : ASF_Mux_Closed\n"
        "AM : This file is event-file! (Steer:0,Accel:0,Break:1,Contact-in:0)\n"
        "AM : GetSDCap() \n"
        "AM : SetFileInfo() \n"
        "AM : Recorded Total Frame Count = 150 [PTS = 4966]\n"
        "AM : Next File is /b/mnt/mmc0_p1/DATA/00/FILE00008.ASF\n"
        "AM : ASF_Mux_Closed\n"  // cut before it was entered
        "boardsim: [   9.100] program ended by the scenario\n";
    const boardsim::RunReport r = boardsim::ReadRunLog(log);
    EXPECT_EQ(r.finished, std::vector<int>{7});
    EXPECT_TRUE(r.recording_started);
    EXPECT_TRUE(r.file_opened);
    EXPECT_FALSE(r.switched_off);
    EXPECT_FALSE(r.index_loaded);
    EXPECT_FALSE(r.index_rebuilt);
}

TEST(CampaignRunLog, StartUpIndexLoopDeletionsAndSwitchOffAreRead) {
    const std::string log =
        "Can not find INDEX FILE.[/b/mnt/mmc0_p2/DATA/.INDEXFILE3]\n"
        "Make INDEX FILE start.\n"
        "Should remove Oldest File : /b/mnt/mmc0_p1/DATA/00/SAV200003.ASF\n"
        "Delete NG (File is locked!)[-2]\n"
        "Should remove Oldest File : /b/mnt/mmc0_p1/DATA/00/FILE00004.ASF\n"
        "Delete OK\n"
        "boardsim: [  12.000] board switched off by the recorder\n";
    const boardsim::RunReport r = boardsim::ReadRunLog(log);
    EXPECT_TRUE(r.index_rebuilt);
    EXPECT_EQ(r.deleted, std::vector<int>{4}) << "a refused deletion deletes nothing";
    EXPECT_TRUE(r.switched_off);
    EXPECT_FALSE(r.file_opened);
    EXPECT_TRUE(r.finished.empty());
    EXPECT_TRUE(boardsim::ReadRunLog("LoadIndexFile called \nINDEX FILE IS VALID !!\n").index_loaded);
}

TEST(CampaignRunLog, AfterACardPullNoFileCountsAsFinished) {
    const std::string log =
        "AM : Next File is /b/mnt/mmc0_p1/DATA/00/FILE00003.ASF\n"
        "AM : Recorded Total Frame Count = 150 [PTS = 4966]\n"
        "AM : Next File is /b/mnt/mmc0_p1/DATA/00/FILE00004.ASF\n"
        "boardsim: [   7.100] > card remove\n"
        "DiViv : SD CARD IS REMOVED ! [partition1]\n"
        "AM : Recorded Total Frame Count = 12 [PTS = 366]\n";  // closed on a card that is gone
    const boardsim::RunReport r = boardsim::ReadRunLog(log);
    EXPECT_TRUE(r.card_pulled);
    EXPECT_EQ(r.finished, std::vector<int>{3});
}

TEST(CampaignRunLog, TheFirstIndexDecisionOfARunCounts) {
    // The start-up rebuilt the index; a card taken again later loads what it saved.
    boardsim::RunReport r = boardsim::ReadRunLog("Make INDEX FILE start.\nINDEX FILE IS VALID !!\n");
    EXPECT_TRUE(r.index_rebuilt);
    EXPECT_FALSE(r.index_loaded);
    r = boardsim::ReadRunLog("INDEX FILE IS VALID !!\nMake INDEX FILE start.\n");
    EXPECT_TRUE(r.index_loaded);
    EXPECT_FALSE(r.index_rebuilt);
}

TEST(CampaignNames, OnlyTheRecordersFileNamesCarryANumber) {
    EXPECT_EQ(boardsim::RecordingNumber("FILE00012.ASF"), 12);
    EXPECT_EQ(boardsim::RecordingNumber("SAV299999.ASF"), 99999);
    EXPECT_EQ(boardsim::RecordingNumber("SAVF00001.ASF"), 1);
    EXPECT_EQ(boardsim::RecordingNumber("SAVf00001.ASF"), -1);
    EXPECT_EQ(boardsim::RecordingNumber("SAVG00001.ASF"), -1);
    EXPECT_EQ(boardsim::RecordingNumber("FILE0001.ASF"), -1);
    EXPECT_EQ(boardsim::RecordingNumber("FILE000a1.ASF"), -1);
    EXPECT_EQ(boardsim::RecordingNumber("FILE00001.ASF.repaired.asf"), -1);
    EXPECT_EQ(boardsim::RecordingNumber(".INDEXFILE3"), -1);
}

TEST(CampaignIndex, OnlyWholeLinesWithTheEndTrailerAreTakenAsTheyAre) {
    const std::string lines = IndexLine("FILE00002.ASF") + IndexLine("SAV200001.ASF");
    const boardsim::IndexContents valid = boardsim::ParseIndexFile(lines + "END");
    EXPECT_EQ(valid.state, IndexState::kValid);
    EXPECT_EQ(valid.names, (std::vector<std::string>{"FILE00002.ASF", "SAV200001.ASF"}));
    EXPECT_EQ(boardsim::ParseIndexFile("END").state, IndexState::kValid) << "an empty card";

    const boardsim::IndexContents open = boardsim::ParseIndexFile(lines + "START");
    EXPECT_EQ(open.state, IndexState::kOpen);
    EXPECT_EQ(open.names.size(), 2u) << "what the run started with";

    // What a cut leaves of a file being saved.
    EXPECT_EQ(boardsim::ParseIndexFile("").state, IndexState::kBroken);
    EXPECT_EQ(boardsim::ParseIndexFile(lines).state, IndexState::kBroken) << "no trailer";
    EXPECT_EQ(boardsim::ParseIndexFile(lines + "EN").state, IndexState::kBroken);
    EXPECT_EQ(boardsim::ParseIndexFile(lines.substr(0, 60)).state, IndexState::kBroken);
    EXPECT_EQ(boardsim::ParseIndexFile(lines.substr(0, 44) + "\nEND").state, IndexState::kBroken)
        << "a line of 45 characters";
    EXPECT_EQ(boardsim::ParseIndexFile(IndexLine("../setup.ini") + "END").state, IndexState::kBroken)
        << "a name the recorder will not use";
}

TEST(CampaignOutsideTheCard, TheParameterRecordProgramsAndCardSettingsAreWatched) {
    for (const char* watched : {"sim/eeprom.bin", "mnt/mmc0_p1/setup.ini", "mnt/mmc0_p1/DiVivVer.ini",
                                "usr/local/sbin/log_record", "bin/date", "formatsd.sh", "NandLogCk.sh"}) {
        EXPECT_TRUE(boardsim::WatchedOutsideCard(watched)) << watched;
    }
    for (const char* free : {"mnt/mmc0_p1/DATA/00/FILE00001.ASF", "mnt/mmc0_p2/DATA/.INDEXFILE3", "proc/mounts",
                             "sys/class/leds/LED1/brightness", "dev/mmcblk0", "var/tmp/mountinfo",
                             "sim/events.log", "sim/synced.log", "sim/world", "sim/cards/mmc0_p1/DATA/00/x"}) {
        EXPECT_FALSE(boardsim::WatchedOutsideCard(free)) << free;
    }
}

TEST(CampaignCut, AFileKeepsItsFlushedPartAndARandomPartOfTheRest) {
    EXPECT_EQ(boardsim::LengthAfterCut(1000, 1000, 12345), 1000u) << "nothing written since the flush";
    EXPECT_EQ(boardsim::LengthAfterCut(0, 0, 7), 0u);
    EXPECT_EQ(boardsim::LengthAfterCut(500, 200, 7), 200u) << "rewritten shorter: nothing to take back";
    bool kept_all = false, kept_flushed = false;
    for (uint64_t draw = 0; draw < 2000; ++draw) {
        const uint64_t n = boardsim::LengthAfterCut(1000, 1500, draw * 7919);
        ASSERT_GE(n, 1000u);
        ASSERT_LE(n, 1500u);
        kept_all |= n == 1500;
        kept_flushed |= n == 1000;
    }
    EXPECT_TRUE(kept_all && kept_flushed) << "both ends of the range happen";
}

}  // namespace
