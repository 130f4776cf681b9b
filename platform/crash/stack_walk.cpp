#include "platform/crash/stack_walk.h"

#include <elfutils/libdwelf.h>
#include <elfutils/libdwfl.h>
#include <fcntl.h>
#include <unistd.h>

#include "util/file_util.h"

namespace {

// A stack deeper than this is cut short; the report would be full long
// before anyway.
constexpr int kMaxFrames = 2048;
// DWARF number of the stack pointer on x86-64.
constexpr unsigned kStackPointerRegister = 7;

// The state of one walk, shared by libdw's callbacks.
struct Walk {
  const TracedProcess* process = nullptr;
  pid_t tid = 0;
  user_regs_struct registers{};
  bool threadListed = false;
  CMyStackWalker* walker = nullptr;
  Dwfl* dwfl = nullptr;
  int frames = 0;
  Dwarf_Addr lastPc = 0;
  Dwarf_Word lastStack = 0;
  bool lastStackKnown = false;
};

// The walk covers one thread, the one that faulted.
pid_t NextThread(Dwfl*, void* walkArg, void** threadArg) {
  Walk* walk = static_cast<Walk*>(walkArg);
  if (walk->threadListed) return 0;
  walk->threadListed = true;
  *threadArg = walk;
  return walk->tid;
}

bool MemoryRead(Dwfl*, Dwarf_Addr address, Dwarf_Word* result, void* walkArg) {
  int fd = static_cast<Walk*>(walkArg)->process->memoryFd();
  return pread(fd, result, sizeof *result, static_cast<off_t>(address)) == sizeof *result;
}

// The registers at the fault, in DWARF order: rax, rdx, rcx, rbx, rsi, rdi,
// rbp, rsp, r8 to r15, then the return address column (rip).
bool SetInitialRegisters(Dwfl_Thread* thread, void* threadArg) {
  const user_regs_struct& r = static_cast<Walk*>(threadArg)->registers;
  const Dwarf_Word dwarf[] = {r.rax, r.rdx, r.rcx, r.rbx, r.rsi, r.rdi, r.rbp, r.rsp, r.r8,
                              r.r9,  r.r10, r.r11, r.r12, r.r13, r.r14, r.r15, r.rip};
  return dwfl_thread_state_registers(thread, 0, sizeof dwarf / sizeof dwarf[0], dwarf);
}

const Dwfl_Thread_Callbacks kThreadCallbacks = {NextThread,          nullptr, MemoryRead,
                                                SetInitialRegisters, nullptr, nullptr};

// No search path of our own: libdw's default looks beside the module, in
// its .debug folder and under /usr/lib/debug.
const Dwfl_Callbacks kModuleCallbacks = {dwfl_linux_proc_find_elf, dwfl_standard_find_debuginfo,
                                         nullptr, nullptr};

// Fills and reports one frame. `lookup` is the address to look up: for a
// frame below the innermost, the return address minus one, which lies in
// the call instruction and so in the caller's line (a call may be the last
// instruction of a function).
void ReportFrameAt(Walk& walk, Dwarf_Addr pc, Dwarf_Addr lookup) {
  CMyStackWalker::FrameRecord frame;
  frame.kind =
      walk.frames == 0 ? CMyStackWalker::FrameKind::First : CMyStackWalker::FrameKind::Next;
  frame.address = pc;
  Dwfl_Module* module = dwfl_addrmodule(walk.dwfl, lookup);
  const char* symbol = module ? dwfl_module_addrname(module, lookup) : nullptr;
  if (symbol != nullptr) {
    // Without the version a library gives its symbols ("@@GLIBC_2.34").
    frame.symbolName = std::string(symbol).substr(0, std::string(symbol).find('@'));
    frame.undecoratedName = UndecorateSymbolName(symbol);
  } else {
    walk.walker->ReportError("SymGetSymFromAddr64", dwfl_errno(), pc);
  }
  Dwfl_Line* line = module ? dwfl_module_getsrc(module, lookup) : nullptr;
  const char* file =
      line ? dwfl_lineinfo(line, nullptr, &frame.lineNumber, nullptr, nullptr, nullptr) : nullptr;
  if (file != nullptr) {
    frame.lineFileName = file;
  } else {
    walk.walker->ReportError("SymGetLineFromAddr64", dwfl_errno(), pc);
  }
  const char* name = module ? dwfl_module_info(module, nullptr, nullptr, nullptr, nullptr, nullptr,
                                               nullptr, nullptr)
                            : nullptr;
  if (name != nullptr) {
    frame.moduleName = FileNameOf(name);
  } else {
    walk.walker->ReportError("SymGetModuleInfo64", dwfl_errno(), pc);
  }
  walk.walker->ReportFrame(frame);
}

int OnFrame(Dwfl_Frame* state, void* walkArg) {
  Walk& walk = *static_cast<Walk*>(walkArg);
  Dwarf_Addr pc = 0;
  bool isActivation = false;
  if (!dwfl_frame_pc(state, &pc, &isActivation)) {
    walk.walker->ReportError("StackWalk64", dwfl_errno(), walk.lastPc);
    return DWARF_CB_ABORT;
  }
  // The same address on the same stack again: a frame that returns into
  // itself, which would repeat forever.
  Dwarf_Word stack = 0;
  bool stackKnown = dwfl_frame_reg(state, kStackPointerRegister, &stack) == 0;
  if (walk.frames > 0 && pc == walk.lastPc && stackKnown && walk.lastStackKnown &&
      stack == walk.lastStack) {
    walk.walker->ReportError("StackWalk64-Endless-Callstack!", 0, pc);
    return DWARF_CB_ABORT;
  }
  ReportFrameAt(walk, pc, isActivation ? pc : pc - 1);
  ++walk.frames;
  walk.lastPc = pc;
  walk.lastStack = stack;
  walk.lastStackKnown = stackKnown;
  return walk.walker->Full() || walk.frames >= kMaxFrames ? DWARF_CB_ABORT : DWARF_CB_OK;
}

const user_regs_struct* StoppedRegisters(const TracedProcess& process, pid_t tid) {
  for (const ThreadState& thread : process.threads()) {
    if (thread.tid == tid) return &thread.registers;
  }
  return nullptr;
}

}  // namespace

void CallStackReport(CMyStackWalker& walker, const TracedProcess& process,
                     const CrashRecord& record) {
  Walk walk;
  walk.process = &process;
  walk.tid = record.tid;
  const user_regs_struct* stopped = StoppedRegisters(process, record.tid);
  walk.registers = RegistersAtFault(record, stopped ? *stopped : user_regs_struct{});
  walk.walker = &walker;
  walk.dwfl = dwfl_begin(&kModuleCallbacks);
  if (walk.dwfl == nullptr) {
    walker.ReportError("SymInitialize", dwfl_errno(), 0);
    return;
  }
  // Modules as the process has them mapped; symbols and lines are loaded
  // lazily, only for the modules the stack passes through.
  dwfl_report_begin(walk.dwfl);
  int reported = dwfl_linux_proc_report(walk.dwfl, process.pid());
  dwfl_report_end(walk.dwfl, nullptr, nullptr);
  if (reported != 0) walker.ReportError("SymInitialize", reported, 0);
  if (!dwfl_attach_state(walk.dwfl, nullptr, process.pid(), &kThreadCallbacks, &walk)) {
    walker.ReportError("StackWalk64", dwfl_errno(), walk.registers.rip);
  } else if (dwfl_getthread_frames(walk.dwfl, walk.tid, OnFrame, &walk) == -1) {
    walker.ReportError("StackWalk64", dwfl_errno(), walk.lastPc);
  }
  dwfl_end(walk.dwfl);
}

std::string DebugLinkName(const std::string& executablePath) {
  int fd = open(executablePath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  elf_version(EV_CURRENT);
  Elf* elf = elf_begin(fd, ELF_C_READ_MMAP, nullptr);
  GElf_Word crc = 0;
  const char* name = elf ? dwelf_elf_gnu_debuglink(elf, &crc) : nullptr;
  std::string result = name ? name : "";
  if (elf) elf_end(elf);
  close(fd);
  return result;
}
