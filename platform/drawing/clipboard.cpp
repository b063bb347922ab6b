#include "platform/drawing/clipboard.hpp"

#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/drawing/gdi_objects.hpp"

namespace zoetra::platform {
namespace {

struct Clipboard {
  std::mutex mutex;
  std::optional<std::thread::id> holder;  // thread that has it open
  Handle opened_by = 0;                   // window named by that OpenClipboard
  Handle owner = 0;                       // window named at the last EmptyClipboard
  std::map<std::uint32_t, HGLOBAL> blocks;
};

Clipboard& TheClipboard() {
  static Clipboard* clipboard = new Clipboard();  // never destroyed: may be used during exit
  return *clipboard;
}

bool HeldByCaller(const Clipboard& c) { return c.holder && *c.holder == std::this_thread::get_id(); }

}  // namespace

bool OpenClipboard(Handle owner) {
  Clipboard& c = TheClipboard();
  std::lock_guard lock(c.mutex);
  if (c.holder && *c.holder != std::this_thread::get_id()) return false;
  c.holder = std::this_thread::get_id();
  c.opened_by = owner;
  return true;
}

bool CloseClipboard() {
  Clipboard& c = TheClipboard();
  std::lock_guard lock(c.mutex);
  if (!HeldByCaller(c)) return false;
  c.holder.reset();
  c.opened_by = 0;
  return true;
}

bool EmptyClipboard() {
  std::vector<HGLOBAL> doomed;
  {
    Clipboard& c = TheClipboard();
    std::lock_guard lock(c.mutex);
    if (!HeldByCaller(c)) return false;
    for (const auto& [format, block] : c.blocks) doomed.push_back(block);
    c.blocks.clear();
    c.owner = c.opened_by;
  }
  for (const HGLOBAL block : doomed) GlobalFree(block);
  return true;
}

HGLOBAL SetClipboardData(std::uint32_t format, HGLOBAL block) {
  if (!detail::Lookup<detail::GlobalObject>(block)) return 0;
  HGLOBAL previous = 0;
  {
    Clipboard& c = TheClipboard();
    std::lock_guard lock(c.mutex);
    if (!HeldByCaller(c)) return 0;
    HGLOBAL& slot = c.blocks[format];
    previous = slot;
    slot = block;
  }
  if (previous != 0 && previous != block) GlobalFree(previous);
  return block;
}

HGLOBAL GetClipboardData(std::uint32_t format) {
  Clipboard& c = TheClipboard();
  std::lock_guard lock(c.mutex);
  if (!HeldByCaller(c)) return 0;
  const auto it = c.blocks.find(format);
  return it == c.blocks.end() ? 0 : it->second;
}

Handle GetClipboardOwner() {
  Clipboard& c = TheClipboard();
  std::lock_guard lock(c.mutex);
  return c.owner;
}

}  // namespace zoetra::platform
