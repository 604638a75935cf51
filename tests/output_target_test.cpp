// The output targets: names made printable, the plan decided from what the
// target is (and nothing written), the three writers undoing what they wrote,
// the cleanup registry's owners, terminals, and the exit status around the
// commit under a sweep of signal times.
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "output_file.hpp"
#include "scoped_environment.hpp"
#include "scratch_directory.hpp"

namespace {

namespace fs = std::filesystem;
using render::printable_name;

std::string file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void write_text(render::OutputFile& output, const std::string& text) {
  output.write_all(text.data(), text.size());
}

std::string error_of(const std::string& path, render::OutputRules rules = {}) {
  try {
    render::OutputFile output(path, rules);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "";
}

// ---- Printable names --------------------------------------------------------

TEST(PrintableName, ValidUtf8TextStaysReadable) {
  for (const char* text :
       {"plain.png", "caf\xc3\xa9.png", "\xe6\x97\xa5\xe6\x9c\xac.exr", "\xf0\x9f\x8c\x88 rainbow",
        "quote \" and \\ backslash", "\xef\xbf\xbd"}) {
    EXPECT_EQ(printable_name(text), text);
  }
}

TEST(PrintableName, C1ControlsAreEscapedAsCodePoints) {
  // U+009B is a one-character CSI on terminals that take C1 controls.
  EXPECT_EQ(printable_name("\xc2\x9b"
                           "2J.png"),
            "\"\\u009b2J.png\"");
  EXPECT_EQ(printable_name("a\xc2\x80z"), "\"a\\u0080z\"");
  EXPECT_EQ(printable_name("a\xc2\x9fz"), "\"a\\u009fz\"");
  EXPECT_EQ(printable_name("a\xc2\xa0z"), "a\xc2\xa0z");  // U+00A0 prints
}

TEST(PrintableName, InvalidUtf8BytesAreEscapedOneByOne) {
  EXPECT_EQ(printable_name("\x9b"
                           "2J"),
            "\"\\x9b2J\"");
  EXPECT_EQ(printable_name("\xff"), "\"\\xff\"");
  EXPECT_EQ(printable_name("\xc0\xaf"), "\"\\xc0\\xaf\"");                    // overlong '/'
  EXPECT_EQ(printable_name("\xe0\x80\xaf"), "\"\\xe0\\x80\\xaf\"");           // overlong, 3 bytes
  EXPECT_EQ(printable_name("\xed\xa0\x80"), "\"\\xed\\xa0\\x80\"");           // a surrogate
  EXPECT_EQ(printable_name("\xf4\x90\x80\x80"), "\"\\xf4\\x90\\x80\\x80\"");  // past U+10FFFF
  EXPECT_EQ(printable_name("x\xe2\x82"), "\"x\\xe2\\x82\"");  // cut short at the end
  EXPECT_EQ(printable_name("\xe2\x82z"), "\"\\xe2\\x82z\"");  // cut short by a letter
}

TEST(PrintableName, ControlsDelAndReorderingCharactersAreEscaped) {
  EXPECT_EQ(printable_name("a\nb"), "\"a\\nb\"");
  EXPECT_EQ(printable_name(std::string("\t\r\x1b\x7f\"\\", 6) + std::string(1, '\0')),
            "\"\\t\\r\\x1b\\x7f\\\"\\\\\\x00\"");
  EXPECT_EQ(printable_name("abc\xe2\x80\xae"
                           "gnp.exe"),
            "\"abc\\u202egnp.exe\"");  // right-to-left override
  EXPECT_EQ(printable_name("a\xe2\x80\xa8z"), "\"a\\u2028z\"");
  EXPECT_EQ(printable_name("a\xe2\x81\xa6z"), "\"a\\u2066z\"");
}

// The form of a value cut to `kept`: quoted, then its whole length.
std::string cut_form(const std::string& kept, std::size_t size) {
  std::string form(1, '"');
  form += kept;
  form += "\"... (";
  form += std::to_string(size);
  form += " bytes)";
  return form;
}

TEST(PrintableName, LongValuesAreCutWithTheirLength) {
  const std::string longest(render::kPrintableLimit, 'n');
  EXPECT_EQ(printable_name(longest), longest);
  const std::string value(100000, 'x');
  EXPECT_EQ(printable_name(value), cut_form(std::string(render::kPrintableKept, 'x'), 100000));
  // A character is never cut in two, and the escapes still apply.
  std::string accented(render::kPrintableKept - 1, 'a');
  accented += "\xc3\xa9";
  accented += std::string(render::kPrintableLimit, '\n');
  EXPECT_EQ(printable_name(accented),
            cut_form(std::string(render::kPrintableKept - 1, 'a'), accented.size()));
  std::string escaped(render::kPrintableLimit + 1, '\x1b');
  EXPECT_EQ(printable_name(escaped).substr(0, 9), "\"\\x1b\\x1b");
}

// ---- The plan ---------------------------------------------------------------

class TargetPlanTest : public lighting_test::ScratchDirectoryTest {
 protected:
  TargetPlanTest() : ScratchDirectoryTest("lighting-target-plan-test") {}
};

TEST_F(TargetPlanTest, EachKindOfTargetGetsItsWriterAndNothingIsWritten) {
  using render::TargetKind;
  std::ofstream(path("own.png")) << "old";
  std::ofstream(path("linked.png")) << "old";
  fs::create_hard_link(path("linked.png"), path("second-name.png"));
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  fs::create_symlink("own.png", path("link.png"));
  fs::create_symlink("nowhere/../new-by-link.png", path("dangling.png"));
  fs::create_directory(path("dir"));
  const auto before = files();
  const auto own_time = fs::last_write_time(path("own.png"));

  EXPECT_EQ(render::plan_target(path("new.png")).kind, TargetKind::create);
  EXPECT_EQ(render::plan_target(path("own.png")).kind, TargetKind::replace);
  EXPECT_EQ(render::plan_target(path("linked.png")).kind, TargetKind::in_place);
  EXPECT_EQ(render::plan_target(path("fifo")).kind, TargetKind::stream);
  EXPECT_EQ(render::plan_target("/dev/null").kind, TargetKind::stream);
  const auto dash = render::plan_target("-");
  EXPECT_EQ(dash.kind, TargetKind::descriptor);
  EXPECT_EQ(dash.descriptor, 1);

  const auto link = render::plan_target(path("link.png"));
  EXPECT_EQ(link.kind, TargetKind::replace);
  EXPECT_EQ(link.final_path, path("own.png"));
  EXPECT_EQ(link.name, "own.png");
  const auto dangling = render::plan_target(path("dangling.png"));
  EXPECT_EQ(dangling.kind, TargetKind::refused);  // "nowhere" does not exist
  EXPECT_EQ(dangling.error, ENOENT);

  for (const std::string& directory : {path("dir"), path("own.png") + "/", path("")}) {
    const auto plan = render::plan_target(directory);
    EXPECT_EQ(plan.kind, TargetKind::refused) << directory;
    EXPECT_EQ(plan.error, directory == path("own.png") + "/" ? ENOTDIR : EISDIR) << directory;
  }
  EXPECT_EQ(render::plan_target(path("missing/x.png")).error, ENOENT);
  EXPECT_EQ(render::plan_target("").error, ENOENT);

  EXPECT_EQ(files(), before);
  EXPECT_EQ(file_bytes(path("own.png")), "old");
  EXPECT_EQ(fs::last_write_time(path("own.png")), own_time);
}

// Another user's view, decided in a child that has become nobody: a file
// that a new one could not stand in for is written in place, one the user
// may not write is refused as ">" refuses it.
TEST_F(TargetPlanTest, WhatANewFileCannotKeepIsWrittenInPlace) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  constexpr uid_t kNobody = 65534;
  fs::permissions(path(""), fs::perms::all);
  fs::create_directory(path("shut"));
  for (const char* name : {"own.png", "foreign-group.png", "roots.png", "readonly.png"}) {
    std::ofstream(path(name)) << "old";
    fs::permissions(path(name), fs::perms::owner_all | fs::perms::group_all |
                                    fs::perms::others_read | fs::perms::others_write);
  }
  std::ofstream(path("shut/shared.png")) << "old";
  fs::permissions(path("shut/shared.png"), fs::perms::all);
  fs::permissions(path("shut"), fs::perms::owner_all | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec);
  ASSERT_EQ(chown(path("own.png").c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(chown(path("foreign-group.png").c_str(), kNobody, 0), 0);
  ASSERT_EQ(chown(path("readonly.png").c_str(), kNobody, kNobody), 0);
  fs::permissions(path("readonly.png"), fs::perms::owner_read | fs::perms::others_read);
  const pid_t pid = fork();
  if (pid == 0) {
    const gid_t none[] = {kNobody};
    if (setgroups(1, none) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
        setresuid(kNobody, kNobody, kNobody) != 0) {
      _exit(10);
    }
    using render::TargetKind;
    int failed = 0;
    const auto expect = [&](const std::string& name, TargetKind kind, int error = 0) {
      const auto plan = render::plan_target(name);
      if (plan.kind == kind && plan.error == error) return;
      std::fprintf(stderr, "as nobody, %s: kind %d, error %d\n", name.c_str(),
                   static_cast<int>(plan.kind), plan.error);
      ++failed;
    };
    expect(path("own.png"), TargetKind::replace);
    expect(path("foreign-group.png"), TargetKind::in_place);  // its group would be lost
    expect(path("roots.png"), TargetKind::in_place);          // it would become nobody's
    expect(path("shut/shared.png"), TargetKind::in_place);    // the directory is shut
    expect(path("readonly.png"), TargetKind::refused, EACCES);
    expect(path("shut/new.png"), TargetKind::refused, EACCES);
    _exit(failed == 0 ? 0 : 11);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10: cannot become nobody; 11: a plan differs";
}

TEST_F(TargetPlanTest, ClosedAndReadOnlyDescriptorsAndSocketsAreRefusedInWords) {
  std::ofstream(path("file")) << "old";
  const int read_only = open(path("file").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(read_only, 0);
  const auto plan = render::plan_target("/dev/fd/" + std::to_string(read_only));
  EXPECT_EQ(plan.kind, render::TargetKind::refused);
  EXPECT_EQ(plan.reason, "descriptor " + std::to_string(read_only) + " is not open for writing");
  close(read_only);
  EXPECT_EQ(render::plan_target("/dev/fd/" + std::to_string(read_only)).reason,
            "descriptor " + std::to_string(read_only) + " is not open");

  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socket_path = path("socket");
  ASSERT_LT(socket_path.size(), sizeof address.sun_path);
  socket_path.copy(address.sun_path, socket_path.size());
  ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  EXPECT_EQ(error_of(socket_path),
            "cannot write " + socket_path +
                ": it is a socket, which lighting-render does not connect to");
  close(listener);
}

TEST_F(TargetPlanTest, ReadLinkReadsTargetsThatFillTheBuffer) {
  // Around the first buffer's size: a target that fills it exactly must be
  // read again, not taken as whole.
  for (const std::size_t length : {1u, 127u, 128u, 129u, 255u, 256u, 257u, 4000u}) {
    std::string target = "t";
    while (target.size() < length) target += "/x";
    target.resize(length);
    const std::string link = path("link-" + std::to_string(length));
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    const auto read = render::read_link(link, 128);
    ASSERT_TRUE(read.has_value()) << length;
    EXPECT_EQ(*read, target) << length;
    EXPECT_EQ(render::read_link(link, 1).value_or(""), target) << length;
  }
  errno = 0;
  EXPECT_FALSE(render::read_link(path("not-a-link")).has_value());
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(TargetPlanTest, LinkChainsEndAtTheFileOrTheLoop) {
  std::ofstream(path("real")) << "x";
  fs::create_symlink("real", path("a"));
  fs::create_symlink(path("a"), path("b"));
  const auto chain = render::follow_links(path("b"));
  EXPECT_EQ(chain.error, 0);
  EXPECT_EQ(chain.names, (std::vector<std::string>{path("b"), path("a"), path("real")}));
  fs::create_symlink("loop2", path("loop1"));
  fs::create_symlink("loop1", path("loop2"));
  EXPECT_EQ(render::follow_links(path("loop1")).error, ELOOP);
  EXPECT_EQ(render::plan_target(path("loop1")).error, ELOOP);
}

// ---- Writers ------------------------------------------------------------------

class OutputTargetTest : public lighting_test::ScratchDirectoryTest {
 protected:
  OutputTargetTest() : ScratchDirectoryTest("lighting-output-target-test") {}
};

TEST_F(OutputTargetTest, AFailedWriteToARegularFileDescriptorIsCutBack) {
  for (const int append : {0, O_APPEND}) {
    const std::string file = path("descriptor");
    std::ofstream(file) << "HEADER";
    const int fd = open(file.c_str(), O_WRONLY | append | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(lseek(fd, append != 0 ? 0 : 6, SEEK_SET), append != 0 ? 0 : 6);
    {
      render::OutputFile output("/dev/fd/" + std::to_string(fd));
      EXPECT_TRUE(output.reversible());
      write_text(output, "half an image");
    }  // abandoned
    EXPECT_EQ(file_bytes(file), "HEADER") << append;
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 6) << append;
    {
      render::OutputFile output("/dev/fd/" + std::to_string(fd));
      write_text(output, "image");
      output.commit();
    }
    EXPECT_EQ(file_bytes(file), "HEADERimage") << append;
    close(fd);
  }
}

TEST_F(OutputTargetTest, AFileOpenedBeforeItsEndCannotBeTakenBack) {
  // As "1<>f" leaves it: the image would overwrite bytes it cannot restore.
  const std::string file = path("read-write");
  std::ofstream(file) << "HEADER and more";
  const int fd = open(file.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(lseek(fd, 6, SEEK_SET), 6);
  {
    render::OutputFile output("/dev/fd/" + std::to_string(fd));
    EXPECT_FALSE(output.reversible());
  }
  EXPECT_EQ(file_bytes(file), "HEADER and more");
  close(fd);
}

TEST_F(OutputTargetTest, PipesAndDevicesCannotBeTakenBackFilesCan) {
  int pipe_ends[2];
  ASSERT_EQ(pipe2(pipe_ends, O_CLOEXEC), 0);
  {
    render::OutputFile piped("/dev/fd/" + std::to_string(pipe_ends[1]));
    EXPECT_FALSE(piped.reversible());
    render::OutputFile device("/dev/null");
    EXPECT_FALSE(device.reversible());
    render::OutputFile created(path("new.png"));
    EXPECT_TRUE(created.reversible());
  }
  close(pipe_ends[0]);
  close(pipe_ends[1]);
  EXPECT_TRUE(files().empty());
}

TEST_F(OutputTargetTest, TerminalsAreRefusedHoweverNamedUnlessAllowed) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) GTEST_SKIP() << "no ptys";
  const std::string terminal = ptsname(master);
  fs::create_symlink(terminal, path("screen.png"));
  const int slave = open(terminal.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(slave, 0);
  const std::string reason =
      ": it is a terminal, which binary image data would garble (--force writes it anyway)";
  for (const std::string& name :
       {terminal, path("screen.png"), "/dev/fd/" + std::to_string(slave)}) {
    EXPECT_EQ(error_of(name), "cannot write " + name + reason);
    EXPECT_EQ(error_of(name, {.allow_terminal = true}), "") << name;
  }
  close(slave);
  close(master);
}

TEST_F(OutputTargetTest, ScratchErrorsNameTheRealCauseAndAreEscaped) {
  std::ofstream(path("one")) << "old";
  fs::create_hard_link(path("one"), path("two"));  // written in place, through $TMPDIR
  const lighting_test::ScopedEnvironment tmpdir("TMPDIR");
  tmpdir.set("/proc");
  EXPECT_EQ(error_of(path("one")),
            "cannot write " + path("one") +
                ": temporary file in $TMPDIR (/proc): its filesystem has no unnamed temporary "
                "files, and a named one cannot be made there (No such file or directory)");
  tmpdir.set("/nonexist\nent\x1b");
  EXPECT_EQ(error_of(path("one")), "cannot write " + path("one") +
                                       ": temporary file in $TMPDIR (\"/nonexist\\nent\\x1b\"): "
                                       "No such file or directory");
  EXPECT_EQ(file_bytes(path("two")), "old");
}

// ---- The cleanup registry and the signals -------------------------------

// Runs `child` in a forked process and returns its wait status.
template <typename Child>
int in_child(Child child) {
  const pid_t pid = fork();
  if (pid == 0) {
    child();
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

TEST_F(OutputTargetTest, AForkedChildLeavesItsParentsFilesAlone) {
  const std::string parents = path("parents.tmp");
  std::ofstream(parents) << "x";
  const render::cleanup::Slot slot = render::cleanup::take_slot();
  render::cleanup::publish_name(slot, parents.c_str());
  // Signalled, and at exit.
  const int signalled = in_child([] {
    render::install_signal_handlers();
    raise(SIGTERM);
  });
  EXPECT_TRUE(WIFSIGNALED(signalled) && WTERMSIG(signalled) == SIGTERM) << signalled;
  const int exited = in_child([] { std::exit(0); });
  EXPECT_TRUE(WIFEXITED(exited) && WEXITSTATUS(exited) == 0);
  EXPECT_TRUE(fs::exists(parents));
  render::cleanup::withdraw(slot);
  render::cleanup::free_slot(slot);

  // The child's own files go, both ways.
  for (const bool by_signal : {true, false}) {
    const std::string childs = path("childs.tmp");
    std::ofstream(childs) << "x";
    const int status = in_child([&] {
      render::install_signal_handlers();
      const render::cleanup::Slot own = render::cleanup::take_slot();
      render::cleanup::publish_name(own, childs.c_str());
      if (by_signal) raise(SIGHUP);
      std::exit(4);
    });
    EXPECT_TRUE(by_signal ? WIFSIGNALED(status) && WTERMSIG(status) == SIGHUP
                          : WIFEXITED(status) && WEXITSTATUS(status) == 4)
        << status;
    EXPECT_FALSE(fs::exists(childs)) << by_signal;
  }
}

void spin_for(std::chrono::microseconds wait) {
  const auto until = std::chrono::steady_clock::now() + wait;
  while (std::chrono::steady_clock::now() < until) {
  }
}

// A signal anywhere around the commit: either the process ends as killed
// and the target is as it was, or it exits 0 with the whole new image in
// place. A signal after the commit is too late to end it.
TEST_F(OutputTargetTest, ASignalSweepAroundTheCommitGivesAnHonestStatus) {
  const std::string image(1 << 20, 'n');
  int killed = 0;
  int completed = 0;
  for (int step = 0; step < 48; ++step) {
    const bool in_place = step % 2 != 0;
    const std::string target = path("target.png");
    fs::remove(path("second-name"));
    std::ofstream(target) << "old";
    if (in_place) fs::create_hard_link(target, path("second-name"));
    int ready[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    const pid_t pid = fork();
    if (pid == 0) {
      render::install_signal_handlers();
      render::OutputFile output(target);
      write_text(output, image);
      (void)!write(ready[1], "r", 1);
      spin_for(std::chrono::milliseconds(2));  // the first signals land before the commit
      output.commit();
      (void)!write(ready[1], "c", 1);
      spin_for(std::chrono::milliseconds(30));  // late signals land here
      _exit(0);
    }
    close(ready[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    // From at once to well after the commit; the last two wait for it.
    if (step < 44) {
      spin_for(std::chrono::microseconds(step * 100));
    } else {
      ASSERT_EQ(read(ready[0], &byte, 1), 1);
    }
    close(ready[0]);
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    const std::string now = file_bytes(target);
    if (WIFSIGNALED(status)) {
      ASSERT_EQ(WTERMSIG(status), SIGTERM);
      EXPECT_TRUE(now == "old") << "killed at step " << step << " with the image changed";
      ++killed;
    } else {
      ASSERT_TRUE(WIFEXITED(status));
      EXPECT_EQ(WEXITSTATUS(status), 0) << step;
      EXPECT_TRUE(now == image) << "exited 0 at step " << step << " without the whole image";
      ++completed;
    }
    EXPECT_EQ(files().size(), in_place ? 2u : 1u) << step;
  }
  // The sweep reached both sides of the commit.
  EXPECT_GE(killed, 1);
  EXPECT_GE(completed, 4);
}

TEST_F(OutputTargetTest, AFileSizeLimitLeavesAWrittenInPlaceFileAsItWas) {
  std::ofstream(path("one")) << "old";
  fs::create_hard_link(path("one"), path("two"));
  const std::string image(1 << 16, 'n');
  const int status = in_child([&] {
    const rlimit small{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &small);
    try {
      render::OutputFile output(path("one"));
      write_text(output, image);
      output.commit();
    } catch (const std::runtime_error& error) {
      _exit(std::string(error.what()).find("File too large") != std::string::npos ? 1 : 2);
    }
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_EQ(file_bytes(path("two")), "old");
}

}  // namespace
