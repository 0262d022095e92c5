// The built binary against a hostile environment: inputs that are not regular files, file
// names that no sane person would choose, and outputs that cannot be written. Each run has a
// deadline, so a hang is a failure rather than a stuck test suite.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "helpers/pcap_builder.h"

extern char** environ;

namespace nelo {
namespace {

using testing::bytes;

const std::string LOOPBACK = std::string(NELO_TEST_DATA_DIR) + "/loopback.pcap";
constexpr int DEADLINE_SECONDS = 60;
constexpr int STATUS_REFUSED = 255;
constexpr int STATUS_SIGPIPE = 128 + SIGPIPE;

struct spawn_result {
  int status = -1;  // exit status, or 128 + signal
  bool timed_out = false;
  std::string out;
  std::string err;
};

// Runs `argv` with `input` on standard input and standard output captured, or sent to
// `stdout_path` when one is given. SIGPIPE is reset to its default in the child, whatever the
// test runner does with it, so that a closed pipe behaves as it does under a shell. The child
// is killed at the deadline.
spawn_result spawn_with_deadline(std::vector<std::string> argv, const std::string& input = "",
                                 const std::string& stdout_path = "") {
  spawn_result result;
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 ||
      pipe2(err_pipe, O_CLOEXEC) != 0)
    return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_pipe[0], STDIN_FILENO);
  if (stdout_path.empty())
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
  else
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdout_path.c_str(), O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults, none;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<char*> args;
  for (std::string& word : argv) args.push_back(word.data());
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  for (int fd : {in_pipe[0], out_pipe[1], err_pipe[1]}) close(fd);
  if (rc != 0) {
    for (int fd : {in_pipe[1], out_pipe[0], err_pipe[0]}) close(fd);
    return result;
  }
  // Inputs stay well under the pipe buffer, so this write cannot block.
  if (!input.empty()) {
    const ssize_t ignored = write(in_pipe[1], input.data(), input.size());
    (void)ignored;
  }
  close(in_pipe[1]);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(DEADLINE_SECONDS);
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_streams = 2;
  while (open_streams > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) {
      result.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    if (poll(fds, 2, static_cast<int>(left)) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[65536];
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_streams;
      }
    }
  }
  for (const pollfd& p : fds)
    if (p.fd >= 0) close(p.fd);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  return result;
}

spawn_result run_nelo(std::vector<std::string> args, const std::string& input = "",
                      const std::string& stdout_path = "") {
  args.insert(args.begin(), NELO_BINARY);
  return spawn_with_deadline(std::move(args), input, stdout_path);
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A small capture of two echo requests from `source`, so each file's report is recognisable.
bytes echo_capture(const uint8_t source[4], size_t records = 2, size_t payload = 24) {
  const uint8_t target[4] = {192, 0, 2, 1};
  std::vector<testing::record_parts> parts;
  for (size_t i = 0; i < records; ++i) {
    testing::record_parts r;
    r.frame = testing::ipv4_icmp_frame(source, target, 8, 0, static_cast<uint16_t>(i + 1),
                                       bytes(payload, static_cast<uint8_t>('a' + i % 26)));
    parts.push_back(r);
  }
  return testing::pcap_file(parts);
}

TEST(HostileInput, InputThatIsNotARegularFileIsRefusedWithoutHanging) {
  const std::string dir = testing::temp_dir();
  const std::string directory = dir + "/a directory";
  const std::string fifo = dir + "/capture.fifo";
  const std::string socket_path = dir + "/capture.sock";
  ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socket_path.size(), sizeof address.sun_path);
  std::strcpy(address.sun_path, socket_path.c_str());
  ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 1), 0);

  // A directory can be opened, so it is announced; reading its header then fails.
  const spawn_result dir_run = run_nelo({"-ifile", directory, "-dump_meta"});
  EXPECT_FALSE(dir_run.timed_out);
  EXPECT_EQ(dir_run.status, STATUS_REFUSED);
  EXPECT_TRUE(contains(dir_run.out, "Processing file: " + directory + "\n")) << dir_run.out;

  for (const std::string& input : {fifo, socket_path}) {
    const spawn_result r = run_nelo({"-ifile", input, "-dump_meta"});
    EXPECT_FALSE(r.timed_out) << input;
    EXPECT_EQ(r.status, STATUS_REFUSED) << input;
    EXPECT_TRUE(contains(r.err, "prob accessing file " + input + " for read, aborting\n"))
        << input << ": " << r.err;
  }
  close(listener);
}

TEST(HostileInput, ListedNamesWithBlanksQuotesAndInvalidUtf8AreRead) {
  const std::string dir = testing::temp_dir();
  const struct {
    std::string name;
    uint8_t source[4];
    std::string source_text;
  } files[] = {
      {"with space.pcap", {10, 9, 0, 1}, "10.9.0.1"},
      {"it's \"quoted\".pcap", {10, 9, 0, 2}, "10.9.0.2"},
      {"bad\xff\xfeutf8\xc3(.pcap", {10, 9, 0, 3}, "10.9.0.3"},
      {"ends in a blank.pcap ", {10, 9, 0, 4}, "10.9.0.4"},
  };
  const std::string missing = dir + "/missing \xc0\xaf.pcap";
  std::string list;
  for (const auto& f : files)
    list += testing::write_temp_file(f.name, echo_capture(f.source)) + "\n";
  list += missing + "\n";

  const spawn_result r = run_nelo({"-pipe", "-dump_meta"}, list);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r.err;
  size_t previous = 0;
  for (const auto& f : files) {
    const std::string path = dir + "/" + f.name;
    // Each file is announced, then its own packets follow.
    const size_t announced = r.out.find("Processing file: " + path + "\n");
    ASSERT_NE(announced, std::string::npos) << path;
    EXPECT_GE(announced, previous) << path;
    const size_t reported = r.out.find(f.source_text, announced);
    EXPECT_NE(reported, std::string::npos) << path;
    previous = announced;
  }
  EXPECT_TRUE(contains(r.out, "prob opening " + missing + " for read\n")) << r.out;
}

TEST(HostileInput, OutputThatCannotBeWrittenEndsTheRunWithAnError) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::string stdout_path;
  } cases[] = {
      {"report file on a full device",
       {"-ifile", LOOPBACK, "-dump_meta", "-dump_payload", "-ofile", "/dev/full"},
       ""},
      {"standard output on a full device",
       {"-ifile", LOOPBACK, "-dump_meta", "-dump_payload"},
       "/dev/full"},
  };
  for (const auto& c : cases) {
    const spawn_result r = run_nelo(c.args, "", c.stdout_path);
    EXPECT_FALSE(r.timed_out) << c.name;
    EXPECT_EQ(r.status, STATUS_REFUSED) << c.name;
    EXPECT_TRUE(contains(r.err, "prob writing output, aborting\n")) << c.name << ": " << r.err;
  }
}

TEST(HostileInput, ReaderThatGoesAwayEndsTheRunQuietly) {
  const uint8_t source[4] = {10, 7, 7, 7};
  // Far more report than a pipe holds: 2000 packets with header and payload dumps.
  const std::string capture =
      testing::write_temp_file("many.pcap", echo_capture(source, 2000, 200));
  const std::string script =
      "{ \"$0\" -ifile \"$1\" -dump_meta -dump_hdr -dump_payload; echo \"nelo exit $?\" >&2; } "
      "| head -c 10 >/dev/null";
  const spawn_result r = spawn_with_deadline({"/bin/sh", "-c", script, NELO_BINARY, capture});
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0);
  // Killed by SIGPIPE, and not a word on standard error.
  EXPECT_EQ(r.err, "nelo exit " + std::to_string(STATUS_SIGPIPE) + "\n");
}

}  // namespace
}  // namespace nelo
