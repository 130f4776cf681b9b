#include "platform/crash/core_dump.h"

#include <fcntl.h>
#include <gelf.h>
#include <sys/procfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// The writer runs before main, possibly before this file's dynamic
// initialisers, so the page size is asked for rather than kept in a global.
uint64_t PageSize() {
  return static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

// One program header: a run of pages of one mapping that were all in
// memory (or swap) or all not.
struct Segment {
  uint64_t start = 0;
  uint64_t end = 0;
  uint32_t flags = 0;
  bool withContent = false;
  // Per page of a segment with content; only the fallback of PlanSegments
  // makes segments whose pages are not all resident.
  std::vector<bool> resident;
  uint64_t fileOffset = 0;
};

uint32_t SegmentFlags(const Mapping& mapping) {
  return (mapping.readable ? PF_R : 0) | (mapping.writable ? PF_W : 0) |
         (mapping.executable ? PF_X : 0);
}

std::vector<bool> Residency(const TracedProcess& process, const Mapping& mapping) {
  uint64_t size = mapping.end - mapping.start;
  uint64_t inUse = mapping.residentBytes + mapping.swappedBytes;
  // The kernel's code page for the process is always there in full, even
  // where this process never touched a page of it.
  if (mapping.path == "[vdso]") inUse = size;
  // The page map is read only where the totals leave the answer open.
  if (inUse == 0 || inUse >= size) return std::vector<bool>(size / PageSize(), inUse != 0);
  return process.ResidentPages(mapping.start, mapping.end);
}

// A mapping splits into runs: pages in memory are dumped; a run of pages
// that are not gets a header without content, which a debugger reads as
// zero for anonymous memory and from the file for a file mapping. Without
// splitRuns (a process with so many runs that the header count would
// overflow), a mapping is one segment and its absent pages are holes that
// read as zero.
void AddSegments(const TracedProcess& process, const Mapping& mapping, bool splitRuns,
                 std::vector<Segment>& segments) {
  Segment whole{mapping.start, mapping.end, SegmentFlags(mapping), false, {}, 0};
  if (mapping.excludedFromDumps) {
    segments.push_back(whole);
    return;
  }
  std::vector<bool> resident = Residency(process, mapping);
  if (!splitRuns) {
    whole.withContent = true;
    whole.resident = std::move(resident);
    segments.push_back(std::move(whole));
    return;
  }
  for (size_t first = 0; first < resident.size();) {
    size_t last = first;
    while (last < resident.size() && resident[last] == resident[first]) ++last;
    Segment run = whole;
    run.start = mapping.start + first * PageSize();
    run.end = mapping.start + last * PageSize();
    run.withContent = resident[first];
    if (run.withContent) run.resident.assign(last - first, true);
    segments.push_back(std::move(run));
    first = last;
  }
}

std::vector<Segment> PlanSegments(const TracedProcess& process,
                                  const std::vector<Mapping>& mappings) {
  std::vector<Segment> segments;
  for (bool splitRuns : {true, false}) {
    segments.clear();
    for (const Mapping& mapping : mappings) {
      if (mapping.readable) AddSegments(process, mapping, splitRuns, segments);
    }
    if (segments.size() + 1 < PN_XNUM) break;  // one more header for the notes
  }
  return segments;
}

// The note segment, built with libelf's note header translation.
class NoteWriter {
 public:
  explicit NoteWriter(Elf* elf) : elf_(elf) {}

  void Add(const char* name, uint32_t type, const void* desc, size_t size) {
    GElf_Nhdr header{static_cast<GElf_Word>(strlen(name) + 1), static_cast<GElf_Word>(size), type};
    GElf_Nhdr onDisk{};
    Elf_Data from{&header, ELF_T_NHDR, EV_CURRENT, sizeof header, 0, 0};
    Elf_Data to{&onDisk, ELF_T_NHDR, EV_CURRENT, sizeof onDisk, 0, 0};
    gelf_xlatetof(elf_, &to, &from, ELFDATA2LSB);
    Append(&onDisk, sizeof onDisk);
    Append(name, header.n_namesz);
    Append(desc, size);
  }
  const std::string& bytes() const { return bytes_; }

 private:
  void Append(const void* data, size_t size) {
    bytes_.append(static_cast<const char*>(data), size);
    bytes_.resize((bytes_.size() + 3) & ~size_t{3});  // 4-byte alignment
  }

  Elf* elf_;
  std::string bytes_;
};

void AddThreadNotes(NoteWriter& notes, const ThreadState& thread, const ProcessFacts& facts,
                    int signalNumber) {
  static_assert(sizeof(elf_gregset_t) == sizeof(user_regs_struct));
  elf_prstatus status{};
  status.pr_info.si_signo = signalNumber;
  status.pr_cursig = static_cast<short>(signalNumber);
  status.pr_pid = thread.tid;
  status.pr_ppid = facts.parentPid;
  status.pr_pgrp = facts.groupId;
  status.pr_sid = facts.sessionId;
  memcpy(&status.pr_reg, &thread.registers, sizeof thread.registers);
  status.pr_fpvalid = thread.hasFloatRegisters;
  notes.Add("CORE", NT_PRSTATUS, &status, sizeof status);
}

void AddProcessNotes(NoteWriter& notes, const TracedProcess& process, const ProcessFacts& facts,
                     const CrashRecord& record, const std::vector<Mapping>& mappings) {
  elf_prpsinfo info{};
  info.pr_sname = facts.state;
  info.pr_uid = facts.uid;
  info.pr_gid = facts.gid;
  info.pr_pid = process.pid();
  info.pr_ppid = facts.parentPid;
  info.pr_pgrp = facts.groupId;
  info.pr_sid = facts.sessionId;
  // The short name fills its field without a terminator when it is 16 long.
  facts.command.copy(info.pr_fname, sizeof info.pr_fname);
  facts.arguments.copy(info.pr_psargs, sizeof info.pr_psargs - 1);
  notes.Add("CORE", NT_PRPSINFO, &info, sizeof info);
  notes.Add("CORE", NT_SIGINFO, &record.info, sizeof record.info);
  std::string auxv = process.ReadAuxiliaryVector();
  notes.Add("CORE", NT_AUXV, auxv.data(), auxv.size());

  // NT_FILE: count, page size, (start, end, offset in pages) per file
  // mapping, then the file names.
  std::vector<uint64_t> table{0, PageSize()};
  std::string names;
  for (const Mapping& mapping : mappings) {
    if (!mapping.FileBacked()) continue;
    ++table[0];
    table.insert(table.end(), {mapping.start, mapping.end, mapping.fileOffset / PageSize()});
    names.append(mapping.path.c_str(), mapping.path.size() + 1);
  }
  std::string file(reinterpret_cast<const char*>(table.data()), table.size() * sizeof(uint64_t));
  file += names;
  notes.Add("CORE", NT_FILE, file.data(), file.size());
}

// The faulting thread first, with its registers at the fault; then the
// others as ptrace found them.
std::vector<ThreadState> ThreadsInDumpOrder(const TracedProcess& process,
                                            const CrashRecord& record) {
  ThreadState faulting;
  faulting.tid = record.tid;
  std::vector<ThreadState> others;
  for (const ThreadState& thread : process.threads()) {
    if (thread.tid == record.tid) {
      faulting = thread;
    } else {
      others.push_back(thread);
    }
  }
  faulting.registers = RegistersAtFault(record, faulting.registers);
  if (record.hasFloatRegisters) {
    static_assert(sizeof faulting.floatRegisters == sizeof record.floatRegisters);
    memcpy(&faulting.floatRegisters, &record.floatRegisters, sizeof record.floatRegisters);
    faulting.hasFloatRegisters = true;
  }
  others.insert(others.begin(), faulting);
  return others;
}

std::string BuildNotes(Elf* elf, const TracedProcess& process, const CrashRecord& record,
                       const std::vector<Mapping>& mappings) {
  NoteWriter notes(elf);
  ProcessFacts facts = process.ReadFacts();
  bool first = true;
  for (const ThreadState& thread : ThreadsInDumpOrder(process, record)) {
    AddThreadNotes(notes, thread, facts, first ? record.signalNumber : 0);
    if (first) AddProcessNotes(notes, process, facts, record, mappings);
    // A thread's other register notes follow its NT_PRSTATUS.
    if (thread.hasFloatRegisters) {
      notes.Add("CORE", NT_FPREGSET, &thread.floatRegisters, sizeof thread.floatRegisters);
    }
    first = false;
  }
  return notes.bytes();
}

bool WriteHeaders(Elf* elf, const std::vector<Segment>& segments, uint64_t noteOffset,
                  uint64_t noteSize) {
  GElf_Ehdr header{};
  if (gelf_newehdr(elf, ELFCLASS64) == nullptr || gelf_getehdr(elf, &header) == nullptr) {
    return false;
  }
  header.e_ident[EI_DATA] = ELFDATA2LSB;
  header.e_ident[EI_OSABI] = ELFOSABI_NONE;
  header.e_type = ET_CORE;
  header.e_machine = EM_X86_64;
  header.e_version = EV_CURRENT;
  header.e_phoff = sizeof(Elf64_Ehdr);
  if (!gelf_update_ehdr(elf, &header)) return false;
  if (gelf_newphdr(elf, segments.size() + 1) == nullptr) return false;
  GElf_Phdr note{PT_NOTE, 0, noteOffset, 0, 0, noteSize, 0, 4};
  if (!gelf_update_phdr(elf, 0, &note)) return false;
  for (size_t i = 0; i < segments.size(); ++i) {
    const Segment& s = segments[i];
    uint64_t size = s.end - s.start;
    GElf_Phdr load{PT_LOAD, s.flags,   s.fileOffset, s.start, 0, s.withContent ? size : 0,
                   size,    PageSize()};
    if (!gelf_update_phdr(elf, static_cast<int>(i + 1), &load)) return false;
  }
  // The layout is ours: libelf must not move the headers or the data.
  elf_flagelf(elf, ELF_C_SET, ELF_F_LAYOUT);
  return elf_update(elf, ELF_C_WRITE) >= 0;
}

bool AllZero(const char* page, size_t size) {
  return page[0] == 0 && memcmp(page, page + 1, size - 1) == 0;
}

// Writes the pages of a chunk read from memory, leaving pages of zeros as
// holes. False on a write error.
bool WriteChunk(int dumpFd, const char* chunk, size_t pages, uint64_t fileOffset) {
  const size_t page = PageSize();
  for (size_t first = 0; first < pages;) {
    size_t last = first;
    while (last < pages && !AllZero(chunk + last * page, page)) ++last;
    size_t bytes = (last - first) * page;
    if (bytes > 0 &&
        pwrite(dumpFd, chunk + first * page, bytes,
               static_cast<off_t>(fileOffset + first * page)) != static_cast<ssize_t>(bytes)) {
      return false;
    }
    first = last + 1;
  }
  return true;
}

// Copies a segment's resident pages from the process's memory.
void CopyContent(int memoryFd, int dumpFd, const Segment& segment, std::vector<char>& buffer) {
  const size_t page = PageSize();
  const size_t count = segment.resident.size();
  for (size_t first = 0; first < count;) {
    size_t last = first;
    while (last < count && segment.resident[last] && (last - first) * page < buffer.size()) ++last;
    if (last == first) {
      ++first;
      continue;
    }
    ssize_t got = pread(memoryFd, buffer.data(), (last - first) * page,
                        static_cast<off_t>(segment.start + first * page));
    size_t copied = got > 0 ? static_cast<size_t>(got) / page : 0;
    if (!WriteChunk(dumpFd, buffer.data(), copied, segment.fileOffset + first * page)) return;
    // A page that cannot be read (memory unmapped meanwhile) stays a hole.
    first += std::max<size_t>(copied, 1);
  }
}

// Places the notes after the headers and the contents after the notes, on
// page boundaries; returns the file's size.
uint64_t AssignFileOffsets(std::vector<Segment>& segments, uint64_t notesEnd) {
  uint64_t end = (notesEnd + PageSize() - 1) / PageSize() * PageSize();
  for (Segment& segment : segments) {
    segment.fileOffset = end;
    if (segment.withContent) end += segment.end - segment.start;
  }
  return end;
}

}  // namespace

bool WriteCoreDump(const TracedProcess& process, const CrashRecord& record,
                   const std::string& path) {
  std::vector<Mapping> mappings = process.ReadMappings();
  std::vector<Segment> segments = PlanSegments(process, mappings);
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  elf_version(EV_CURRENT);
  Elf* elf = elf_begin(fd, ELF_C_WRITE, nullptr);
  std::string notes = elf ? BuildNotes(elf, process, record, mappings) : "";
  uint64_t noteOffset = sizeof(Elf64_Ehdr) + (segments.size() + 1) * sizeof(Elf64_Phdr);
  uint64_t end = AssignFileOffsets(segments, noteOffset + notes.size());
  bool written = elf && WriteHeaders(elf, segments, noteOffset, notes.size());
  if (elf) elf_end(elf);
  written = written && pwrite(fd, notes.data(), notes.size(), static_cast<off_t>(noteOffset)) ==
                           static_cast<ssize_t>(notes.size());
  std::vector<char> buffer(256 * PageSize());
  for (const Segment& segment : segments) {
    if (written && segment.withContent) CopyContent(process.memoryFd(), fd, segment, buffer);
  }
  written = written && ftruncate(fd, static_cast<off_t>(end)) == 0;
  return close(fd) == 0 && written;
}
