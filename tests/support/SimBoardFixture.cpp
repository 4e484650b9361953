#include "support/SimBoardFixture.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

std::string MakeTempDir(const char* prefix) {
    std::string tmpl = (std::filesystem::temp_directory_path() / (std::string(prefix) + "XXXXXX")).string();
    char* made = ::mkdtemp(tmpl.data());
    return made ? std::string(made) : std::string();
}

void SimBoardTest::SetUp() {
    root_ = MakeTempDir("diviv-board-");
    ASSERT_FALSE(root_.empty());
    std::string error;
    ASSERT_TRUE(diviv::sim::CreateSimBoard(root_, BoardOptions(), &error)) << error;
    root_ = std::filesystem::canonical(root_).string();
    ::setenv("DIVIV_ROOT", root_.c_str(), 1);
    ::setenv("DIVIV_BOARD", "sim", 1);
    auto board = std::make_unique<diviv::sim::SimulatedBoard>();
    board_ = board.get();
    previous_board_ = diviv::InstallBoard(std::move(board));
    char cwd[4096];
    old_cwd_ = ::getcwd(cwd, sizeof cwd) ? cwd : "/";
    // Relative programs ("./formatsd.sh") run from the board root.
    ASSERT_EQ(::chdir(root_.c_str()), 0);
}

void SimBoardTest::TearDown() {
    if (!old_cwd_.empty()) (void)::chdir(old_cwd_.c_str());
    ::unsetenv("DIVIV_ROOT");
    ::unsetenv("DIVIV_BOARD");
    // Threads the test started are stopped by now; the previous board (none,
    // or the Linux default) comes back.
    diviv::InstallBoard(std::move(previous_board_));
    board_ = nullptr;
    std::error_code ec;
    if (!root_.empty()) std::filesystem::remove_all(root_, ec);
}

void UseThreadsafeDeathTests() {
    if (std::getenv("GTEST_DEATH_TEST_STYLE") == nullptr) GTEST_FLAG_SET(death_test_style, "threadsafe");
}
