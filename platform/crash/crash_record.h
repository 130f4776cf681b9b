// CrashRecord: what the signal handler knows about a fault and the crash
// writer cannot find out by itself afterwards. The handler fills it with
// plain copies (no allocation, no library calls) and sends it whole through
// a pipe to the writer, a fresh run of the same executable, so both sides
// share this layout exactly.
//
// Thread-safety: a plain value.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <sys/ucontext.h>
#include <sys/user.h>
#include <time.h>

#include <cstdint>

#if !defined(__x86_64__)
#error "crash reports: the register layout is written for x86-64 only"
#endif

struct CrashRecord {
  static constexpr uint32_t kMagic = 0x4B435231;  // "KCR1"
  uint32_t magic = 0;
  pid_t pid = 0;  // the crashed process
  pid_t tid = 0;  // its thread that faulted
  int signalNumber = 0;
  siginfo_t info{};
  // The faulting thread's registers at the fault: the walk and the dump
  // start there rather than inside the handler.
  gregset_t registers{};
  bool hasFloatRegisters = false;
  struct _libc_fpstate floatRegisters {};
  struct timespec time {};  // when the handler ran (wall clock)
};

// The faulting thread's registers at the fault, in ptrace's layout: the
// general registers from the record, the rest (segment registers, the
// thread pointer) from `stopped`, that thread's registers read by ptrace
// while it waited in the handler.
inline user_regs_struct RegistersAtFault(const CrashRecord& record, user_regs_struct stopped) {
  const greg_t* g = record.registers;
  auto at = [g](int index) { return static_cast<unsigned long long>(g[index]); };
  stopped.r8 = at(REG_R8), stopped.r9 = at(REG_R9), stopped.r10 = at(REG_R10);
  stopped.r11 = at(REG_R11), stopped.r12 = at(REG_R12), stopped.r13 = at(REG_R13);
  stopped.r14 = at(REG_R14), stopped.r15 = at(REG_R15), stopped.rdi = at(REG_RDI);
  stopped.rsi = at(REG_RSI), stopped.rbp = at(REG_RBP), stopped.rbx = at(REG_RBX);
  stopped.rdx = at(REG_RDX), stopped.rax = at(REG_RAX), stopped.rcx = at(REG_RCX);
  stopped.rsp = at(REG_RSP), stopped.rip = at(REG_RIP), stopped.eflags = at(REG_EFL);
  stopped.orig_rax = ~0ULL;  // not inside a system call
  return stopped;
}
