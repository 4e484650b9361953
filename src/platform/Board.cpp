#include "platform/Board.h"

#include <atomic>

namespace diviv {

namespace {

std::unique_ptr<Board> g_board;
std::atomic<Board*> g_current{nullptr};

}  // namespace

Board& TheBoard() {
    Board* b = g_current.load(std::memory_order_acquire);
    if (b != nullptr) return *b;
    // Nothing installed (a program that never chose): the Linux board.
    InstallBoard(MakeLinuxBoard());
    return *g_current.load(std::memory_order_acquire);
}

std::unique_ptr<Board> InstallBoard(std::unique_ptr<Board> board) {
    std::unique_ptr<Board> previous = std::move(g_board);
    g_board = std::move(board);
    g_current.store(g_board.get(), std::memory_order_release);
    return previous;
}

}  // namespace diviv
