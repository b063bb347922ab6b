// The process-wide clipboard: one table of global memory blocks by format.
//
// One thread at a time holds it open: OpenClipboard succeeds for the thread
// that already holds it (without nesting: one CloseClipboard closes it) and
// fails for every other thread until CloseClipboard. Every other call needs
// the calling thread to hold it open and fails otherwise.
//
// A block handed to SetClipboardData belongs to the clipboard from then on:
// it frees the block when the format is set again or the clipboard is
// emptied. A block from GetClipboardData stays the clipboard's; callers lock
// it while they hold the clipboard open and never free it.
#pragma once

#include <cstdint>

#include "platform/drawing/gdi.hpp"

namespace zoetra::platform {

inline constexpr std::uint32_t kCfDib = 8;  // device-independent bitmap: header, table, pixels

// `owner` is the window that will own the data; 0 for none.
bool OpenClipboard(Handle owner);
bool CloseClipboard();
// Frees every block on the clipboard.
bool EmptyClipboard();
// Places `block` under `format`, freeing the block held there before.
// Returns `block`, or 0 (the caller keeps the block) when the clipboard is
// not open on this thread or `block` is not a live global memory block.
HGLOBAL SetClipboardData(std::uint32_t format, HGLOBAL block);
// The block held under `format`, or 0.
HGLOBAL GetClipboardData(std::uint32_t format);
// Owner window named by the last EmptyClipboard (0 for none).
Handle GetClipboardOwner();

}  // namespace zoetra::platform
