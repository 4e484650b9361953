// The recorder's command line: help and version print and end the program,
// queue ids in hexadecimal start it, anything else is refused before the
// board is touched (checked in-process and on the DiViv program itself).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "core/CommandLine.h"
#include "support/SimBoardFixture.h"

namespace fs = std::filesystem;

namespace {

struct Outcome {
    std::optional<int> status;
    std::string out, err;
};

std::string ReadAll(std::FILE* f) {
    std::string s;
    std::rewind(f);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    std::fclose(f);
    return s;
}

Outcome Check(std::vector<const char*> args) {
    args.insert(args.begin(), "DiViv");
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    Outcome o;
    o.status = diviv::CheckCommandLine(static_cast<int>(args.size()), args.data(), out, err);
    o.out = ReadAll(out);
    o.err = ReadAll(err);
    return o;
}

}  // namespace

TEST(CommandLine, QueueIdsInHexadecimalStartTheRecorderSilently) {
    const std::vector<std::vector<const char*>> good = {
        {},
        {"8001"},
        {"0x8001", "0X8002", "ABCdef", "fffffffe", "1"},
        {"-1"},  // a queue id that could not be created: the recorder reports it itself
        {"+7", "0", "0", "0", "0"},
    };
    for (const auto& args : good) {
        const Outcome o = Check(args);
        EXPECT_FALSE(o.status.has_value()) << (args.empty() ? "" : args[0]);
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(o.err, "");
    }
}

TEST(CommandLine, HelpAndVersionPrintAndEndTheProgram) {
    for (const char* help : {"--help", "-h"}) {
        const Outcome o = Check({help});
        ASSERT_TRUE(o.status.has_value()) << help;
        EXPECT_EQ(*o.status, 0);
        EXPECT_EQ(o.out.rfind("usage: DiViv [DRM_DOWN_QID", 0), 0u) << o.out;
        EXPECT_NE(o.out.find("hexadecimal"), std::string::npos);
        EXPECT_EQ(o.err, "");
    }
    const Outcome v = Check({"--version"});
    ASSERT_TRUE(v.status.has_value());
    EXPECT_EQ(*v.status, 0);
    EXPECT_EQ(v.out, "DiViv 3.1.1.3\n");
    // Help after valid queue ids is still help.
    const Outcome late = Check({"8001", "--help"});
    ASSERT_TRUE(late.status.has_value());
    EXPECT_EQ(*late.status, 0);
}

TEST(CommandLine, AnythingButAHexadecimalNumberIsRefusedByName) {
    const std::vector<std::vector<const char*>> bad = {
        {"--frobnicate"}, {"12g"}, {""}, {" 1"}, {"1 "}, {"0x"}, {"-"}, {"0x-1"}, {"--"}, {"8001", "queue"},
        {"1", "2", "3", "4", "yes"},
    };
    for (const auto& args : bad) {
        const Outcome o = Check(args);
        const std::string last = args.back();
        ASSERT_TRUE(o.status.has_value()) << "\"" << last << "\"";
        EXPECT_EQ(*o.status, 2);
        EXPECT_EQ(o.out, "");
        EXPECT_NE(o.err.find("argument " + std::to_string(args.size()) + " \"" + last +
                             "\" is not a hexadecimal number"),
                  std::string::npos)
            << o.err;
        EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
    }
}

namespace {

// The DiViv program started on a fresh simulated board (ignition and supply
// power on, a card inserted): nothing of the board may be created or changed.
class DiVivCommandLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = MakeTempDir("diviv-cli-root");
        logs_ = MakeTempDir("diviv-cli-logs");
        std::string error;
        ASSERT_TRUE(diviv::sim::CreateSimBoard(root_, diviv::sim::SimBoardOptions{}, &error)) << error;
        before_ = Listing();
        ASSERT_FALSE(before_.empty());
    }
    void TearDown() override {
        fs::remove_all(root_);
        fs::remove_all(logs_);
    }
    struct Run {
        int status = -1;
        std::string out, err;
    };
    Run Start(const std::string& args, const char* board = "DIVIV_BOARD=sim") {
        const std::string out = logs_ + "/out", err = logs_ + "/err";
        const std::string cmd = "cd '" + root_ + "' && env -u DIVIV_BOARD " + board + " DIVIV_ROOT='" + root_ +
                                "' timeout 20 " + DIVIV_BIN + " " + args + " >'" + out + "' 2>'" + err + "'";
        const int rc = std::system(cmd.c_str());
        Run r;
        r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
        r.out = Slurp(out);
        r.err = Slurp(err);
        return r;
    }
    // Every file and folder of the board root with its size and time.
    std::string Listing() const {
        std::ostringstream s;
        for (const auto& e : fs::recursive_directory_iterator(root_)) {
            s << e.path().string();
            if (e.is_regular_file()) {
                s << ' ' << e.file_size() << ' ' << fs::last_write_time(e.path()).time_since_epoch().count();
            }
            s << '\n';
        }
        return s.str();
    }
    bool BoardUntouched() const { return Listing() == before_; }
    static std::string Slurp(const std::string& path) {
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string root_, logs_, before_;
};

}  // namespace

TEST_F(DiVivCommandLineTest, HelpAndVersionExitWithoutTouchingTheBoard) {
    Run r = Start("--help");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("usage: DiViv", 0), 0u) << r.out;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(BoardUntouched());

    // Not even the choice of board is needed for the version.
    r = Start("--version", "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "DiViv 3.1.1.3\n");
    EXPECT_TRUE(BoardUntouched());
}

TEST_F(DiVivCommandLineTest, AnArgumentThatIsNoQueueIdIsRefusedBeforeAnythingStarts) {
    for (const char* args : {"--frobnicate", "8001 8002 nonsense", "start"}) {
        const Run r = Start(args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_NE(r.err.find("is not a hexadecimal number"), std::string::npos) << args << ": " << r.err;
        EXPECT_EQ(r.out, "") << args << ": nothing of the recorder's start-up is printed";
        EXPECT_TRUE(BoardUntouched()) << args;
    }
}
