// SIGINT, SIGTERM and SIGHUP: no file is left half written and no output is
// replaced after the signal.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>

#include "cli/commands.hpp"
#include "platform/base/files.hpp"

namespace zoetra::cli {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Read by the conversion's threads too (their stop query): an atomic, lock-free
// so the handler may set it.
std::atomic<int> g_caught{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void NoteSignal(int signal) {
  g_caught = signal;
  platform::AbandonUnfinishedFiles();
}

extern "C" void EndOnSignal(int signal) {
  platform::AbandonUnfinishedFiles();
  // The default action, once this handler returns (the signal is blocked until then).
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

void Install(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  for (const int s : kSignals) sigaddset(&action.sa_mask, s);
  // No SA_RESTART: a write blocked on a full pipe returns and sees the signal.
  action.sa_flags = 0;
  for (const int s : kSignals) {
    struct sigaction previous {};
    // A signal the shell told us to ignore (nohup, background jobs) stays ignored.
    if (::sigaction(s, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    ::sigaction(s, &action, nullptr);
  }
}

}  // namespace

void CatchInterrupts() { Install(NoteSignal); }

void CleanUpOnInterrupt() { Install(EndOnSignal); }

int CaughtInterrupt() { return g_caught.load(std::memory_order_relaxed); }

void EndOnInterrupt(int signal) {
  std::fflush(stdout);
  ::signal(signal, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(signal);
  ::_exit(kExitSignalBase + signal);
}

}  // namespace zoetra::cli
