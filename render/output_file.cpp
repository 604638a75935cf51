#include "output_file.hpp"

#include <unistd.h>

#include <csignal>
#include <mutex>
#include <stdexcept>
#include <system_error>

namespace render {

namespace {

// While any target is open a file-size limit must fail the write (EFBIG) and
// reach the cleanup, rather than kill the process with SIGXFSZ.
std::mutex g_xfsz_mutex;
int g_xfsz_users = 0;
struct sigaction g_xfsz_before {};

void hold_xfsz_ignored() {
  const std::lock_guard lock(g_xfsz_mutex);
  if (g_xfsz_users++ > 0) return;
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGXFSZ, &ignore, &g_xfsz_before);
}

void release_xfsz() {
  const std::lock_guard lock(g_xfsz_mutex);
  if (--g_xfsz_users == 0) sigaction(SIGXFSZ, &g_xfsz_before, nullptr);
}

struct XfszHold {
  XfszHold() { hold_xfsz_ignored(); }
  ~XfszHold() { release_xfsz(); }
  XfszHold(const XfszHold&) = delete;
  XfszHold& operator=(const XfszHold&) = delete;
};

struct SlotHold {
  cleanup::Slot slot = cleanup::take_slot();
  SlotHold() = default;
  ~SlotHold() {
    cleanup::withdraw(slot);
    cleanup::free_slot(slot);
  }
  SlotHold(const SlotHold&) = delete;
  SlotHold& operator=(const SlotHold&) = delete;
};

}  // namespace

struct OutputFile::State {
  std::string path;  // as given, made printable
  XfszHold xfsz;
  SlotHold slot;
  std::unique_ptr<TargetWriter> writer;  // destroyed first: it undoes what it wrote
  bool committed = false;

  [[noreturn]] void fail(const std::string& reason) const {
    throw std::runtime_error("cannot write " + path + ": " + reason);
  }
};

OutputFile::OutputFile(const std::string& path, OutputRules rules)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.path = printable_name(path);
  const TargetPlan plan = plan_target(path);
  if (plan.kind == TargetKind::refused) {
    s.fail(plan.error != 0 ? std::generic_category().message(plan.error) : plan.reason);
  }
  s.writer = open_writer(plan, s.path, s.slot.slot);
  // Checked on what was opened, so that no name for a terminal
  // (/dev/tty, /dev/pts/N, a link to one, a descriptor) slips through.
  if (!rules.allow_terminal && isatty(s.writer->descriptor()) != 0) {
    s.fail("it is a terminal, which binary image data would garble (--force writes it anyway)");
  }
}

OutputFile::~OutputFile() = default;

int OutputFile::descriptor() const noexcept {
  return state_->writer->descriptor();
}

bool OutputFile::seekable() const noexcept {
  return state_->writer->seekable();
}

bool OutputFile::reversible() const noexcept {
  return state_->writer->reversible();
}

const std::string& OutputFile::path() const noexcept {
  return state_->path;
}

void OutputFile::write_all(const void* data, std::size_t size) {
  if (const int error = write_fully(descriptor(), data, size); error != 0) {
    state_->fail(std::generic_category().message(error));
  }
}

void OutputFile::commit() {
  State& s = *state_;
  if (s.committed) return;
  cleanup::CommitWindow window(s.slot.slot);
  s.writer->commit(window);
  s.committed = true;
}

void install_signal_handlers() {
  cleanup::install_signal_handlers();
}

}  // namespace render
