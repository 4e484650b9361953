#include "platform/Mount.h"

#include "platform/Board.h"

namespace diviv {

int UnmountCard(std::string_view path) { return TheBoard().Card().Unmount(path) == 0 ? 0 : -1; }

void SyncDisks() { TheBoard().Card().Sync(); }

}  // namespace diviv
