// Paths on the card for the storage functions.
//
// Callers hand the storage functions either a board path ("/mnt/mmc0_p1") or
// one that already carries the board root (a path the storage functions
// returned, or BoardPath's result). Both resolve to the same file.
#pragma once

#include <string>
#include <string_view>

// A path ready to open: the board root is put in front unless it is there.
std::string CardPath(std::string_view path);
