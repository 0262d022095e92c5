// End-to-end checks of the built binary: what it says of a command line it could not take as
// written, and what needs a prepared file system or a hostile environment (FIFOs, links,
// unwritable outputs, odd names, standard input, signals, directory trees); fixed command lines
// are covered by the golden tests. Runs through the shell have a deadline, so a hang is a failure
// (status 124) rather than a stuck test suite.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/driver.h"
#include "helpers/pcap_builder.h"

namespace nelo {
namespace {

using testing::bytes;
using testing::run_nelo_in_process;

const std::string DATA = NELO_TEST_DATA_DIR;
const std::string NELO = NELO_BINARY;
const std::string LOOPBACK = DATA + "/loopback.pcap";
constexpr int STATUS_REFUSED = 255;

TEST(DriverEndToEnd, OutputFileIsTruncatedAndBinaryFormIsTheFramesOwnBytes) {
  const std::string out = testing::write_temp_file("frames.bin", bytes(100000, 'x'));
  const auto r = run_nelo_in_process(
      {"-ifile", LOOPBACK, "-binary", "-dump_hdr", "-dump_payload", "-ofile", out});
  EXPECT_EQ(r.status, 0);
  // Every ICMP frame of the capture, whole and back to back: header then payload.
  bytes expected;
  for (const testing::seen_record& record : testing::record_walk(LOOPBACK).seen) {
    const bytes& frame = record.frame;
    const bool v4 = frame.size() > 23 && frame[12] == 0x08 && frame[13] == 0x00 && frame[23] == 1;
    const bool v6 = frame.size() > 20 && frame[12] == 0x86 && frame[13] == 0xdd && frame[20] == 58;
    if (v4 || v6) expected.insert(expected.end(), frame.begin(), frame.end());
  }
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(testing::read_file(out), expected);
}

// The built binary with a deadline and SIGPIPE at its default, as a shell would run it;
// `args` are shell words.
testing::run_result run_nelo(const std::string& args) {
  return testing::run_shell("env --default-signal=PIPE timeout 60 '" + NELO + "' " + args);
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A small capture of echo requests from `source`, so each file's report is recognisable.
bytes echo_capture(const uint8_t source[4], size_t records = 2, size_t payload = 24) {
  const uint8_t target[4] = {192, 0, 2, 1};
  std::vector<testing::record_parts> parts;
  for (size_t i = 0; i < records; ++i) {
    parts.push_back(
        {.frame = testing::ipv4_icmp_frame(source, target, 8, 0, static_cast<uint16_t>(i + 1),
                                           bytes(payload, static_cast<uint8_t>('a' + i % 26)))});
  }
  return testing::pcap_file(parts);
}

TEST(HostileInput, FilesAndStreamsThatAreNotWhatTheySeemEndTheRunWithAWordOrNone) {
  const std::string directory = testing::temp_dir() + "/a directory";
  ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
  const std::string loopback = "-ifile '" + LOOPBACK + "' ";
  const std::string copy = testing::write_temp_file("evidence.pcap", testing::read_file(LOOPBACK));
  const std::string link = testing::temp_dir() + "/link.pcap";
  ASSERT_EQ(symlink(copy.c_str(), link.c_str()), 0);
  const struct {
    std::string args;
    int status;
    std::string said;  // in standard output and error
  } rows[] = {
      // A directory can be opened, so it is announced; reading its header then fails.
      {"-ifile '" + directory + "' -dump_meta", STATUS_REFUSED,
       "Processing file: " + directory + "\n"},
      // A device that can seek is no stream either.
      {"-ifile /dev/null -dump_meta", STATUS_REFUSED,
       "prob accessing file /dev/null for read, aborting\n"},
      {loopback + "-dump_payload -ofile /dev/full", STATUS_REFUSED,
       "prob writing output, aborting\n"},
      {loopback + "-dump_payload >/dev/full", STATUS_REFUSED, "prob writing output, aborting\n"},
      {"-ifile - -pipe <'" + LOOPBACK + "'", STATUS_REFUSED,
       "-ifile - and -pipe both read standard input, aborting\n"},
      // Standard input closed: the capture is opened as descriptor 0.
      {loopback + "<&-", 0, " , icmp"},
      // An output file that is the input, by its name or another, is never truncated.
      {"-ifile '" + copy + "' -ofile '" + copy + "'", STATUS_REFUSED,
       "output file " + copy + " is the input file, aborting\n"},
      {"-ifile '" + copy + "' -ofile '" + link + "'", STATUS_REFUSED,
       "output file " + link + " is the input file, aborting\n"},
  };
  for (const auto& row : rows) {
    const auto r = run_nelo(row.args);
    EXPECT_EQ(r.status, row.status) << row.args;
    EXPECT_TRUE(contains(r.out + r.err, row.said)) << row.args << ":\n" << r.out << r.err;
  }
  EXPECT_EQ(testing::read_file(copy), testing::read_file(LOOPBACK));
}

TEST(HostileInput, ListedNamesWithBlanksQuotesAndInvalidUtf8AreRead) {
  const std::string dir = testing::temp_dir();
  struct listed {
    std::string name;
    uint8_t source[4];
    std::string source_text;
  };
  const std::vector<listed> files = {
      {"with space.pcap", {10, 9, 0, 1}, "10.9.0.1"},
      {"it's \"quoted\".pcap", {10, 9, 0, 2}, "10.9.0.2"},
      {"bad\xff\xfeutf8\xc3(.pcap", {10, 9, 0, 3}, "10.9.0.3"},
      {"ends in a blank.pcap ", {10, 9, 0, 4}, "10.9.0.4"},
  };
  const std::string missing = dir + "/missing \xc0\xaf.pcap";
  // As `find -print0` lists them, a name may hold a line end too.
  for (const char separator : {'\n', '\0'}) {
    std::vector<listed> list_files = files;
    if (separator == '\0') list_files.push_back({"two\nlines.pcap", {10, 9, 0, 5}, "10.9.0.5"});
    std::string list;
    for (const auto& f : list_files)
      list += testing::write_temp_file(f.name, echo_capture(f.source)) + separator;
    list += missing + separator;
    const std::string list_file = testing::write_temp_file("list", bytes(list.begin(), list.end()));

    const auto r = run_nelo("-pipe -dump_meta <'" + list_file + "'");
    EXPECT_EQ(r.status, 0) << r.err;
    size_t previous = 0;
    for (const auto& f : list_files) {
      const std::string path = dir + "/" + f.name;
      // Each file is announced, then its own packets follow.
      const size_t announced = r.out.find("Processing file: " + path + "\n");
      ASSERT_NE(announced, std::string::npos) << path;
      EXPECT_GE(announced, previous) << path;
      EXPECT_NE(r.out.find(f.source_text, announced), std::string::npos) << path;
      previous = announced;
    }
    EXPECT_TRUE(contains(r.out, "prob opening " + missing + " for read\n")) << r.out;
  }
}

TEST(HostileInput, ReaderThatGoesAwayEndsTheRunQuietly) {
  const uint8_t source[4] = {10, 7, 7, 7};
  // Far more report than a pipe holds: 2000 packets with header and payload dumps.
  const std::string capture =
      testing::write_temp_file("many.pcap", echo_capture(source, 2000, 200));
  const auto r = testing::run_shell(
      "{ env --default-signal=PIPE timeout 60 '" + NELO + "' -ifile '" + capture +
      "' -dump_meta -dump_hdr -dump_payload; echo \"nelo exit $?\" >&2; } | head -c 10 >/dev/null");
  EXPECT_EQ(r.status, 0);
  // Killed by SIGPIPE, and not a word on standard error.
  EXPECT_EQ(r.err, "nelo exit " + std::to_string(128 + SIGPIPE) + "\n");
}

TEST(StdinInput, ReadsAnyCaptureFromARedirectOrAPipe) {
  const std::string fifo = testing::temp_dir() + "/capture.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const struct {
    const char* capture;
    std::string feed;   // what stands before "nelo -ifile INPUT"; %s is the capture's path
    std::string input;  // the name given to -ifile and announced
  } cases[] = {
      {"loopback.pcapng", "exec < '%s';", "-"},
      {"loopback.pcap", "cat '%s' |", "-"},
      {"cooked2.pcap", "gzip -c '%s' |", "-"},
      {"two_interfaces.pcapng", "zstd -qc '%s' |", "-"},
      // Standard input that is not blocking: reads that find nothing yet must wait.
      {"loopback.pcap",
       "{ sleep 0.3; cat '%s'; } | python3 -c \"import os, sys; "
       "os.set_blocking(0, False); os.execv(sys.argv[1], sys.argv[1:])\"",
       "-"},
      // A pipe or a FIFO given by name; the FIFO's writer comes after nelo waits for it.
      {"loopback.pcapng", "zstd -qc '%s' |", "/dev/fd/0"},
      {"cooked2.pcap", "{ sleep 0.3; gzip -c '%s' >'" + fifo + "'; } &", fifo},
  };
  for (const auto& c : cases) {
    const std::string path = DATA + "/" + c.capture;
    char feed[1024];
    std::snprintf(feed, sizeof feed, c.feed.c_str(), path.c_str());
    const auto r = testing::run_shell(std::string(feed) + " '" + NELO + "' -ifile " + c.input);
    EXPECT_EQ(r.status, 0) << feed << "\n" << r.err;
    EXPECT_EQ(r.err, "") << feed;
    EXPECT_NE(r.out.find("\"Command line: " + NELO + " -ifile " + c.input + "\"\n"),
              std::string::npos)
        << r.out;
    // The same report as from the file itself, announced by the name given.
    const std::string expected =
        testing::report_of(testing::run_nelo_in_process({"-ifile", path}).out);
    EXPECT_NE(expected.find(" , icmp"), std::string::npos) << c.capture;
    EXPECT_NE(r.out.find("Processing file: " + c.input + "\n"), std::string::npos) << feed;
    EXPECT_EQ(testing::report_of(r.out), expected) << feed;
  }
}

TEST(StdinInput, RefusesStandardInputItCannotReadAsACapture) {
  const std::string nelo = "'" + NELO + "'";
  const struct {
    const char* name;
    std::string command;
    std::string message;
  } cases[] = {
      // script(1) runs nelo on a terminal of its own.
      {"a terminal", "script -qec \"" + nelo + " -ifile -\" /dev/null </dev/null",
       "standard input is a terminal, not a capture, aborting"},
      // A terminal by any name is no stream.
      {"/dev/stdin on a terminal", "script -qec \"" + nelo + " -ifile /dev/stdin\" /dev/null",
       "prob accessing file /dev/stdin for read, aborting"},
  };
  for (const auto& c : cases) {
    const auto r = testing::run_shell(c.command);
    EXPECT_EQ(r.status, STATUS_REFUSED) << c.name;
    // script(1) hands nelo's standard error on through its own standard output.
    EXPECT_NE((r.err + r.out).find(c.message), std::string::npos) << c.name << ":\n"
                                                                  << r.err << r.out;
    EXPECT_EQ(r.out.find(" , icmp"), std::string::npos) << c.name;
  }
}

// A file that starts like a capture nelo reads is refused before anything opens it for writing,
// even when the list names it and the run would skip it as its own output; any other file is
// truncated and skipped.
TEST(OutputFile, CaptureIsNeverOverwrittenAnyOtherFileIs) {
  testing::pcapng_writer pcapng;
  pcapng.section(true);
  const bytes pcap = testing::pcap_file({});
  bytes nsec_big_endian = {0xa1, 0xb2, 0x3c, 0x4d, 0, 2, 0, 4};
  nsec_big_endian.resize(pcap.size());
  const std::string text = "  frame , date [utc]\n";
  const struct {
    const char* name;
    bytes data;
    bool capture;
  } rows[] = {
      {"a.pcap", pcap, true},
      {"b.pcap", nsec_big_endian, true},
      {"c.pcapng", pcapng.data(), true},
      {"d.gz", {0x1f, 0x8b}, true},
      {"e.zst", {0x28, 0xb5, 0x2f, 0xfd}, true},
      {"empty", {}, false},
      {"half_gzip_magic", {0x1f}, false},
      {"cut_header.pcap", bytes(pcap.begin(), pcap.end() - 1), false},
      {"report.txt", bytes(text.begin(), text.end()), false},
  };
  for (const auto& row : rows) {
    const std::string path = testing::write_temp_file(row.name, row.data);
    const auto r = run_nelo_in_process({"-pipe", "-ofile", path}, path + "\n");
    if (row.capture) {
      EXPECT_EQ(r.status, STATUS_REFUSED) << row.name;
      EXPECT_TRUE(
          contains(r.err, "Error: " + path + " holds a capture, it is never overwritten\n---"))
          << row.name << ": " << r.err;
      EXPECT_EQ(testing::read_file(path), row.data) << row.name;
    } else {
      EXPECT_EQ(r.status, 0) << row.name;
      EXPECT_TRUE(contains(r.err, path + " is the output file, skipped\n")) << row.name << r.err;
      EXPECT_TRUE(testing::read_file(path).empty()) << row.name;
    }
  }
  // A FIFO is never read to find out what it holds: the report goes through it as before.
  const std::string fifo = testing::temp_dir() + "/report.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const auto r = run_nelo("-ifile '" + LOOPBACK + "' -icmp_type 3 -ofile '" + fifo + "' & cat '" +
                          fifo + "'; wait $!");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.out, "dst unreachable [port unreachable]")) << r.out;
}

// Each capture's block in a report file starts with the line that announced it on standard
// output; a JSON or raw-byte report carries nothing but its own form. Threads change nothing.
TEST(ListMode, ReportFileNamesTheCaptureOfEachBlock) {
  const std::string a = testing::write_temp_file("a.pcap", testing::read_file(LOOPBACK));
  const std::string b = DATA + "/loopback.pcapng";
  const std::string report = testing::temp_dir() + "/report", single = report + ".one";
  const std::vector<std::string> forms[] = {
      {"-icmp_type", "3,1"}, {"-json", "-frame", "7"}, {"-binary", "-dump_payload", "-frame", "7"}};
  for (const auto& form : forms) {
    const bool text = form[0] == "-icmp_type";
    std::string expected;
    for (const std::string& capture : {a, b}) {
      std::vector<std::string> args = {"-ifile", capture, "-ofile", single};
      args.insert(args.end(), form.begin(), form.end());
      ASSERT_EQ(run_nelo_in_process(args).status, 0);
      const bytes block = testing::read_file(single);
      ASSERT_FALSE(block.empty()) << form[0];
      if (text) expected += "Processing file: " + capture + "\n";
      expected.append(block.begin(), block.end());
    }
    for (const char* threads : {"1", "2"}) {
      std::vector<std::string> args = {"-pipe", "-ofile", report, "-threads", threads};
      args.insert(args.end(), form.begin(), form.end());
      const auto r = run_nelo_in_process(args, a + "\n" + report + "\n" + b + "\n");
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(testing::read_text(report), expected) << form[0] << threads;
    }
  }
}

TEST(CommandLineMessages, RunHeaderFallsBackToTheDefaultDateFormat) {
  const struct {
    const char* format;
    const char* shape;  // of the run header's date, '9' standing for any digit
  } rows[] = {
      {"yyyy-mm-ddd", "99/99/9999"},  // 11 characters: refused
      {"yyyy-mm-dd", "9999-99-99"},
  };
  for (const auto& row : rows) {
    const auto r =
        run_nelo_in_process({"-ifile", LOOPBACK, "-dateformat", row.format, "-frame", "1"});
    const size_t at = r.out.find("\nRun time: ");
    ASSERT_NE(at, std::string::npos) << r.out;
    std::string date = r.out.substr(at + 11, std::strlen(row.shape) + 1);
    for (char& c : date) c = c >= '0' && c <= '9' ? '9' : c;
    EXPECT_EQ(date, std::string(row.shape) + " ") << row.format << "\n" << r.out;
  }
}

// A refusal on a terminal is said again under the usage, where it does not scroll away; a file
// or a pipe gets it once. Nothing is read either way.
TEST(CommandLineMessages, RefusalIsRepeatedAfterTheUsageOnATerminal) {
  const std::string refusal =
      "Error: -srcip: cannot read \"10.99.0.256\" (an IPv4 or IPv6 address, a prefix, or a list "
      "of them)\n";
  for (const bool terminal : {false, true}) {
    std::ostringstream out, err;
    const run_io io{out, err, true, terminal, nullptr, -1, false};
    EXPECT_EQ(run_nelo({NELO_BINARY, "-ifile", LOOPBACK, "-srcip", "10.99.0.256"}, io) & 0xff, 255);
    const std::string said = err.str();
    EXPECT_NE(said.find(refusal), std::string::npos) << said;
    EXPECT_NE(said.find("Usage"), std::string::npos);
    EXPECT_EQ(said.ends_with("\n\n" + refusal), terminal) << said;
    EXPECT_EQ(out.str().find("Processing file"), std::string::npos);
  }
}

// The rule standard output and an -ofile report share: a terminal is watched as lines come, a
// device that is not one (/dev/null) is not.
TEST(OutputBuffering, TerminalsPipesAndSocketsAreWrittenLineByLineFilesAndOtherDevicesAreNot) {
  int pipe_ends[2];
  ASSERT_EQ(pipe(pipe_ends), 0);
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const struct {
    const char* name;
    int fd;
    bool line_by_line;
  } rows[] = {
      {"regular file", open(testing::write_temp_file("report.txt", {}).c_str(), O_WRONLY), false},
      {"/dev/null", open("/dev/null", O_WRONLY), false},
      {"pipe", pipe_ends[1], true},
      {"terminal", open(ptsname(master), O_RDWR | O_NOCTTY), true},
  };
  for (const auto& row : rows) {
    ASSERT_GE(row.fd, 0) << row.name;
    EXPECT_EQ(output_wants_line_flush(row.fd), row.line_by_line) << row.name;
    close(row.fd);
  }
  close(pipe_ends[0]);
  close(master);
}

}  // namespace
}  // namespace nelo
