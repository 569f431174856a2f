// The tools end to end, as people and scripts meet them: qvotk's words,
// exit statuses and JSON, how it ends on a signal and what it leaves, its
// monitor on a tap; tovek-sim's options. Over pseudo-terminals, against
// tovek-sim as a separate process and the real driver library.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/end_to_end.h"
#include "support/pty.h"
#include "support/unpluggable_line.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kUnderAddressSanitizer = true;
#elif defined(__has_feature)
constexpr bool kUnderAddressSanitizer = __has_feature(address_sanitizer);
#else
constexpr bool kUnderAddressSanitizer = false;
#endif

using Tools = WorkingDirectoryTest;

// tovek-sim's tap (--mirror), as the test listens to it from the moment it
// is made: whether anything went out on the line since.
class Tap {
 public:
  explicit Tap(const std::string& path) : fd_(open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK)) {
    if (fd_ >= 0) tcflush(fd_, TCIFLUSH);
  }
  ~Tap() {
    if (fd_ >= 0) close(fd_);
  }
  Tap(const Tap&) = delete;
  Tap& operator=(const Tap&) = delete;

  // Waits at most `boundMs` for the line's next bytes.
  bool Hears(int boundMs) {
    pollfd watch = {fd_, POLLIN, 0};
    return fd_ >= 0 && poll(&watch, 1, boundMs) > 0;
  }

 private:
  int fd_;
};

TEST_F(Tools, ToolExitStatusMirrorsTheDriver) {
  std::string output;
  EXPECT_EQ(RunTool("read S --port ttyNOPE9", &output), 2);
  EXPECT_NE(output.find("QVOTOVEK  : Fail to open ttyNOPE9"), std::string::npos) << output;
  EXPECT_NE(output.find("QVOTOVEK  : ttyNOPE9: not found (errno 2)"), std::string::npos)
      << "the driver's reason: " << output;

  EXPECT_EQ(RunTool("check S 001", &output), 0) << output;
  EXPECT_EQ(RunTool("check 1234", &output), 1) << output;
  EXPECT_EQ(RunTool("no-such-command", &output), 64);
  std::vector<Json> json;
  EXPECT_EQ(RunToolJson("info", &json), 0);
  EXPECT_EQ(json.size(), 1u);

  SimulatorProcess sim;
  ASSERT_TRUE(
      sim.Start(WithRepeated({"--station", "5", "--s-point", "6"}, "--fault-script", "status-error", 10)));
  const std::string line = " --port " + sim.port + " --station 5 --baud 9600 --timeout 10";
  EXPECT_EQ(RunTool("read S" + line, &output), 1) << output;
  EXPECT_EQ(RunToolJson("read S" + line, &json), 0);
  ASSERT_EQ(json.size(), 1u);
  EXPECT_EQ(json[0], Json::parse(R"([{"point": "S", "status": 0, "value": 6, "attempts": 1}])"));
  EXPECT_EQ(RunTool("write S 12" + line, &output), 64) << "refused before anything is sent: " << output;
  EXPECT_EQ(RunTool("read S" + line + " --station 99", &output), 2) << output;
  EXPECT_NE(output.find("no answer from station 99"), std::string::npos) << output;
}

// The banner's frame is CP437: shown as UTF-8 where the locale takes it,
// else in plain ASCII rather than as bytes the terminal cannot show.
TEST_F(Tools, TheBannerFallsBackToAsciiOutsideAUtf8Locale) {
  const char* previous = std::getenv("LC_ALL");
  const std::string saved = previous != nullptr ? previous : "";
  auto nonAscii = [](const std::string& text) {
    return std::count_if(text.begin(), text.end(),
                         [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
  };
  std::string output;
  setenv("LC_ALL", "C", 1);
  EXPECT_EQ(RunTool("info", &output), 0);
  EXPECT_NE(output.find("TOVEK - ORBAL system"), std::string::npos) << output;
  EXPECT_EQ(nonAscii(output), 0) << output;
  setenv("LC_ALL", "C.UTF-8", 1);
  EXPECT_EQ(RunTool("info", &output), 0);
  EXPECT_GT(nonAscii(output), 0) << output;
  if (previous != nullptr) {
    setenv("LC_ALL", saved.c_str(), 1);
  } else {
    unsetenv("LC_ALL");
  }
}

// The simulator's options: every bad value is a usage error that names the
// option, not an abort or a silent wrap.
TEST_F(Tools, SimulatorRefusesBadValuesNamingTheOption) {
  struct BadOption {
    const char* arguments;
    const char* said;
  };
  const BadOption cases[] = {
      {"--block 1,2,x", "--block: 'x'"},
      {"--point x=3", "--point: 'x'"},
      {"--point 5=abc", "--point: 'abc'"},
      {"--point 1000=3", "--point: '1000'"},
      {"--point 5=300", "--point: '300'"},
      {"--faults bogus", "the kinds are no-reply"},
      {"--port-file /nonexistent/x/p", "--port-file: cannot write"},
      {"--station 12 --point 13:5=3", "station 13 is not on the line"},
  };
  for (const BadOption& c : cases) {
    std::string output;
    EXPECT_EQ(RunProgram("tovek-sim", c.arguments, &output), 64) << c.arguments;
    EXPECT_NE(output.find(c.said), std::string::npos) << c.arguments << ": " << output;
  }
  std::string help;
  RunProgram("tovek-sim", "--help", &help);
  EXPECT_NE(help.find("noise              bursts of frame-like bytes"), std::string::npos) << help;
}

TEST_F(Tools, RequestsRefusedBeforeAnythingIsSentExit64WithoutBlamingTheController) {
  std::string output;
  for (const char* arguments :
       {"read 1234 --port NUL", "write 005 3 --port NUL", "write S 10 --port NUL", "block 300 --port NUL",
        "read S --port NUL --station 12345", "poll S -c -1 --port NUL", "scan --port NUL --station 3",
        "read S --port NUL --timeout 5 --timeout-ms 50"}) {
    EXPECT_EQ(RunTool(arguments, &output), 64) << arguments << ": " << output;
    EXPECT_EQ(output.find("controller"), std::string::npos) << arguments << ": " << output;
    EXPECT_EQ(output.find("Fail to"), std::string::npos) << "nothing was sent: " << output;
    EXPECT_EQ(output.rfind("qvotk: ", 0), 0u) << "the program's name first: " << output;
  }
  // A usage error is JSON on standard output too, and nothing else there.
  std::vector<Json> json;
  EXPECT_EQ(RunToolJson("poll S --count 0 --port NUL", &json), 64);
  ASSERT_EQ(json.size(), 1u);
  EXPECT_EQ(json[0]["status"], 64);
  EXPECT_TRUE(json[0].contains("error"));
  EXPECT_EQ(RunToolJson("read 1234 --port NUL", &json), 64);
  ASSERT_EQ(json.size(), 1u);
  EXPECT_EQ(json[0][0]["status"], 64) << "read prints an array, a failure too";
  EXPECT_EQ(json[0][0]["error"].get<std::string>().rfind("'1234' is not a point name", 0), 0u);
  EXPECT_EQ(RunToolJson("demo", &json), 64) << "the demo is for people";
}

TEST_F(Tools, RepeatedHostReportsAreShownOnce) {
  std::string output;
  EXPECT_EQ(RunTool("read S 001 --port NUL", &output), 2);
  size_t shown = 0;
  for (size_t at = 0; (at = output.find("Fail to set RTS to on", at)) != std::string::npos; ++at) ++shown;
  EXPECT_EQ(shown, 2u) << "the first report and its count: " << output;
  EXPECT_NE(output.find("Fail to set RTS to on  (repeated 10 times in all)"), std::string::npos) << output;
  EXPECT_NE(output.find("NUL fails at once"), std::string::npos) << output;
}

TEST_F(Tools, PollPrintsAJsonObjectARoundAndItsSummaryWhenInterrupted) {
  SimulatorProcess sim;
  ASSERT_TRUE(sim.Start({"--station", "12", "--drift-ms", "50"}));
  ChildProcess tool;
  ASSERT_TRUE(
      StartTool(&tool, {"--json", "poll", "S", "001", "-i", "20", "--port", sim.port, "--station", "12"}));
  std::string first;
  ASSERT_TRUE(tool.ReadLine(&first, 5000));
  tool.Send(SIGINT);
  const std::string output = first + "\n" + tool.ReadRest(5000);
  EXPECT_EQ(tool.Wait(5000), 130);
  std::istringstream lines(output);
  std::vector<std::string> objects;
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) continue;
    EXPECT_TRUE(line.front() == '{' && line.back() == '}') << line;
    objects.push_back(line);
  }
  ASSERT_GE(objects.size(), 2u) << output;
  const Json opening = Json::parse(objects.front()), last = Json::parse(objects.back());
  EXPECT_EQ(opening["round"], 1);
  EXPECT_TRUE(opening["time"].is_string());
  EXPECT_EQ(last["status"], 130);
  EXPECT_GE(last["summary"]["rounds"], 1);
}

TEST_F(Tools, ScanFindsTheStationsOnTheLineAndNoOthers) {
  SimulatorProcess sim;
  ASSERT_TRUE(sim.Start({"--station", "12", "--station", "13", "--baud", "9600"}));
  std::string output;
  std::vector<Json> json;
  EXPECT_EQ(RunToolJson("scan --from 10 --to 15 --baud 9600 --port " + sim.port, &json), 0);
  ASSERT_EQ(json.size(), 1u);
  EXPECT_EQ(json[0]["stations"], Json::parse("[12, 13]"));
  EXPECT_EQ(RunTool("scan --from 20 --to 21 --baud 9600 --port " + sim.port, &output), 2) << output;
  EXPECT_NE(output.find("no station answered at 20-21"), std::string::npos) << output;
}

// Ctrl-C, SIGTERM and a closed SSH session end the tool at once, even in
// the middle of a request that would wait for ever; so does a reader that
// stops reading. Nothing is left behind.
TEST_F(Tools, NothingIsLeftBehindAfterSigterm) {
  SKIP_SIGNALS_UNDER_EMULATOR();
  const std::string temporary = workingDirectory.path() + "/tmp";
  ASSERT_EQ(mkdir(temporary.c_str(), 0700), 0);
  setenv("TMPDIR", temporary.c_str(), 1);
  const std::string tap = workingDirectory.path() + "/tap";
  SimulatorProcess sim;
  ASSERT_TRUE(sim.Start({"--station", "12", "--mirror", tap}));
  ChildProcess poll;
  ASSERT_TRUE(StartTool(&poll, {"poll", "S", "-i", "20", "--port", sim.port, "--station", "12"}));
  std::string line;
  ASSERT_TRUE(poll.ReadLine(&line, 5000));
  EXPECT_EQ(poll.Stop(SIGTERM), 143);

  // Station 99 never answers, and a read time-out of 0 waits for ever: the
  // signal comes once its request is on the line.
  for (const int signal : {SIGINT, SIGHUP}) {
    Tap tapped(tap);
    ChildProcess read;
    ASSERT_TRUE(StartTool(&read, {"read", "S", "--timeout", "0", "--port", sim.port, "--station", "99"}));
    ASSERT_TRUE(tapped.Hears(5000)) << "the request is sent";
    EXPECT_EQ(read.Wait(0), -1) << "still waiting for station 99";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(read.Stop(signal), 128 + signal);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2))
        << "at once, not after the request";
  }
  // A reader that goes away ends the poll, as it ends other tools (141).
  std::string output;
  EXPECT_EQ(system(("bash -c 'set -o pipefail; " + BuildProgramCommandLine("qvotk") +
                    " poll S --json -i 10 --port " + sim.port + " --station 12 | head -2 > /dev/null'")
                       .c_str()),
            141 << 8);

  ChildProcess demo;
  ASSERT_TRUE(StartTool(&demo, {"demo"}));
  ASSERT_TRUE(demo.ReadLine(&line, 5000));  // the simulator is up
  // The demo's own children (its simulator), by pid: other runs on the
  // machine have simulators of their own.
  std::ifstream childList("/proc/" + std::to_string(demo.pid()) + "/task/" + std::to_string(demo.pid()) +
                          "/children");
  std::vector<pid_t> children;
  for (pid_t child; childList >> child;) children.push_back(child);
  EXPECT_FALSE(children.empty()) << "the demo runs its simulator";
  EXPECT_EQ(demo.Stop(SIGTERM), 143);
  unsetenv("TMPDIR");
  auto gone = [](pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string skip, state;
    return !(stat >> skip >> skip >> state) || state == "Z";
  };
  for (const pid_t child : children) EXPECT_TRUE(WaitUntil([&] { return gone(child); })) << "went with it";

  size_t left = 0;
  for (const auto& entry : std::filesystem::directory_iterator(temporary))
    left += entry.path().filename().string().rfind("qvotk-", 0) == 0;
  EXPECT_EQ(left, 0u) << "the private station-file directories are gone";
}

// --link replaces only what an earlier run left: a link to a pseudo-terminal.
TEST_F(Tools, TheSimulatorsLinkNeverTakesAUsersFile) {
  const std::string file = workingDirectory.path() + "/data";
  workingDirectory.WriteFile("data", "the user's data\n");
  std::string output;
  EXPECT_EQ(RunProgram("tovek-sim", "--link " + file, &output), 64) << output;
  EXPECT_NE(output.find(file + " exists and is not a symbolic link"), std::string::npos) << output;
  std::ifstream kept(file);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "the user's data\n");

  const std::string leftover = workingDirectory.path() + "/ttyT0";
  ASSERT_EQ(symlink("/dev/pts/999", leftover.c_str()), 0);
  SimulatorProcess sim;
  ASSERT_TRUE(sim.Start({"--link", leftover}));
  EXPECT_EQ(sim.port, leftover);
  EXPECT_EQ(std::filesystem::read_symlink(leftover).string().rfind("/dev/pts/", 0), 0u);
  EXPECT_NE(std::filesystem::read_symlink(leftover), "/dev/pts/999");
  sim.process.Stop(SIGHUP);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(leftover))) << "removed on SIGHUP too";
}

// qvotk poll goes on while the port is gone, a failed round at a time, says
// so once, and reads again when the driver finds it; a single read stops.
TEST_F(Tools, PollGoesOnWhileThePortIsGone) {
  UnpluggableLine line(workingDirectory.path());
  ASSERT_TRUE(line.PlugIn());
  const std::vector<std::string> arguments = {"-i",     "50",      "--timeout", "10",
                                              "--port", line.name, "--station", "12"};
  std::vector<std::string> poll = {"poll", "S"};
  poll.insert(poll.end(), arguments.begin(), arguments.end());
  ChildProcess tool;
  ASSERT_TRUE(StartTool(&tool, poll));
  std::string round;
  ASSERT_TRUE(tool.ReadLine(&round, 5000));
  EXPECT_EQ(round.rfind("polling 1 point(s) on " + std::string(line.name) +
                            ", station 12, 2400 baud 8N1, read time-out 100 ms",
                        0),
            0u)
      << "the settings first, as mbpoll does: " << round;
  ASSERT_TRUE(tool.ReadLine(&round, 5000));
  EXPECT_NE(round.find("S=5"), std::string::npos) << round;
  line.Pull();
  std::string output;
  EXPECT_EQ(RunTool("read S --port " + std::string(line.name) + " --station 12 --timeout 10", &output), 2)
      << output;
  auto printed = [&](const std::string& values) {
    return WaitUntil([&] { return tool.ReadLine(&round, 100) && round.find(values) != std::string::npos; });
  };
  EXPECT_TRUE(printed("S=?")) << "a failed round while the port is gone";
  EXPECT_EQ(tool.Wait(0), -1) << "still polling";
  ASSERT_TRUE(line.PlugIn());
  EXPECT_TRUE(printed("S=5")) << "reads again once the port is back";
  tool.Send(SIGTERM);
  const std::string rest = tool.ReadRest(5000);
  EXPECT_EQ(tool.Wait(5000), 143);
  EXPECT_NE(rest.find("summary: "), std::string::npos) << rest;
}

// Ports as people name them: a path under /dev, or a long stable name,
// which goes through a short link of the tool's own for as long as it runs.
TEST_F(Tools, ThePortIsTakenAsThePersonNamesIt) {
  SimulatorProcess sim;
  ASSERT_TRUE(sim.Start({"--station", "12", "--s-point", "3"}));
  std::string output;
  EXPECT_EQ(RunTool("read S --port /dev/" + sim.port + " --station 12", &output), 0) << output;
  const std::string byId = workingDirectory.path() + "/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0";
  ASSERT_EQ(symlink(("/dev/" + sim.port).c_str(), byId.c_str()), 0);
  EXPECT_EQ(RunTool("poll S -n 1 --port " + byId + " --station 12", &output), 0) << output;
  EXPECT_NE(output.find("polling 1 point(s) on " + byId + ", station 12"), std::string::npos) << output;
  EXPECT_NE(output.find("S=3"), std::string::npos) << output;
  // The tool's short links are /tmp/qv and four letters or digits.
  const std::regex shortLink("/tmp/qv[A-Za-z0-9]{4}(?![-A-Za-z0-9])");
  EXPECT_FALSE(std::regex_search(output, shortLink)) << "the port as typed: " << output;
  const std::string nowhere = workingDirectory.path() + "/usb-FTDI_FT232R_USB_UART_GONE-if00-port0";
  EXPECT_EQ(RunTool("read S --port " + nowhere + " --station 12", &output), 2) << output;
  EXPECT_NE(output.find("Fail to open " + nowhere), std::string::npos)
      << "the driver's report too: " << output;
  EXPECT_FALSE(std::regex_search(output, shortLink)) << output;
  EXPECT_EQ(RunTool("read S -v --port " + byId + " --station 12", &output), 0) << output;
  EXPECT_NE(output.find(byId + " is opened through the short link /tmp/qv"), std::string::npos) << output;
  for (const auto& entry : std::filesystem::directory_iterator("/tmp")) {
    if (entry.path().filename().string().rfind("qv", 0) == 0 && entry.is_symlink()) {
      EXPECT_NE(std::filesystem::read_symlink(entry.path()), byId) << "the short link is gone after the run";
    }
  }
}

// The tool's words point the right way: a station file that would not give
// what was meant is refused, naming its line; without one, station 1 is
// said; with --station, the address is what to check; numbers count only
// what succeeded; options and help read the same everywhere.
TEST_F(Tools, TheToolSaysWhatItUsesAndWhatWentWrong) {
  SimulatorProcess sim;
  ASSERT_TRUE(sim.Start({"--station", "12"}));
  const std::string port = " --port " + sim.port;
  std::string output;
  workingDirectory.WriteFile("QVOTK01.int", "# line 1\nSTATION=abc\n");
  EXPECT_EQ(RunTool("read S" + port, &output), 64);
  EXPECT_NE(output.find("QVOTK01.int, line 2: 'STATION=abc' holds no station address"), std::string::npos)
      << output;
  workingDirectory.WriteFile("QVOTK01.int", "STATION=99999\n");
  EXPECT_EQ(RunTool("read S" + port, &output), 64);
  EXPECT_NE(output.find("outside 0-9999"), std::string::npos) << output;
  std::filesystem::remove(workingDirectory.path() + "/QVOTK01.int");
  EXPECT_EQ(RunTool("read S --timeout-ms 30" + port, &output), 2);
  EXPECT_NE(output.find("station 1 is used"), std::string::npos) << output;
  EXPECT_EQ(RunTool("read S --timeout-ms 30 --station 99" + port, &output), 2);
  EXPECT_NE(output.find("(--station 99)"), std::string::npos) << output;
  EXPECT_EQ(output.find("QVOTK01.int"), std::string::npos) << output;

  EXPECT_EQ(RunTool("bench -n 2 --timeout-ms 20 --station 99" + port, &output), 2);
  EXPECT_NE(output.find("none of 2 requests succeeded"), std::string::npos) << output;
  EXPECT_NE(output.find("2 with status 2"), std::string::npos) << output;

  EXPECT_EQ(RunTool("poll 001 -n 1 --timeout-ms 20 --station 99" + port, &output), 2);
  EXPECT_NE(output.find("001=? (no answer)"), std::string::npos) << output;
  EXPECT_EQ(RunTool("scan --station 3" + port, &output), 64) << "scan has no --station to ignore";

  EXPECT_EQ(RunTool("-V", &output), 0);
  EXPECT_EQ(output.rfind("qvotk ", 0), 0u) << output;
  for (const char* command : {"read", "poll", "scan", "bench", "block"}) {
    EXPECT_EQ(RunTool(std::string(command) + " --help", &output), 0);
    EXPECT_EQ(output.find("=-1"), std::string::npos) << command << output;
    EXPECT_EQ(output.find("->"), std::string::npos) << command << output;
  }
  std::vector<Json> json;
  EXPECT_EQ(RunToolJson("check \"$(printf 'S\\377')\"", &json), 1) << "any byte gives valid JSON";

  // The live line of a poll fits 80 columns, however many points it shows.
  std::string points;
  for (int n = 1; n <= 12; ++n) points += " 0" + std::string(n < 10 ? "0" : "") + std::to_string(n);
  RunProgram("/usr/bin/script",
             "-qfec '" + BuildProgramCommandLine("qvotk") + " poll" + points + " -n 2 -i 0 --station 12" +
                 port + "' /dev/null",
             &output);
  size_t lines = 0;
  for (size_t start = 0, end; (end = output.find_first_of("\r\n", start)) != std::string::npos;
       start = end + 1) {
    const std::string line = output.substr(start, end - start);
    if (line.find("| #") == std::string::npos) continue;
    ++lines;
    EXPECT_LE(line.size(), 80u) << line;
  }
  EXPECT_EQ(lines, 2u) << output;
  // The scan's progress shows on a terminal, past the report filter.
  RunProgram("/usr/bin/script",
             "-qfec '" + BuildProgramCommandLine("qvotk") +
                 " scan --from 11 --to 12 --station-timeout-ms 20" + port + "' /dev/null",
             &output);
  EXPECT_NE(output.find("scanning 11-12 ["), std::string::npos) << output;
}

// Runs `command` on a terminal of script's: the seconds from the start at
// which `text` first reached the terminal (-1: never), and in `total` how
// long the output went on.
double SecondsUntilShown(const std::string& command, const std::string& text, double* total) {
  std::string output;
  RunProgram("/usr/bin/script", "-qe -T timing -O typescript -c '" + command + "'", &output);
  std::ifstream typescript("typescript"), timing("timing");
  std::string shown((std::istreambuf_iterator<char>(typescript)), {});
  shown.erase(0, shown.find('\n') + 1);  // script's own first line
  const size_t at = shown.find(text);
  double seconds = 0, delay = 0, found = -1;
  size_t end = 0, bytes = 0;
  while (timing >> delay >> bytes) {
    seconds += delay;
    end += bytes;
    if (found < 0 && at != std::string::npos && end >= at + text.size()) found = seconds;
  }
  *total = seconds;
  return found;
}

// The scan's bar and the note of a long wait reach a terminal as they are
// drawn, not when the tool ends.
TEST_F(Tools, ProgressReachesTheTerminalWhileItHappens) {
  SimulatorProcess sim;
  ASSERT_TRUE(sim.Start({"--station", "12", "--baud", "9600"}));
  const std::string tool = BuildProgramCommandLine("qvotk");
  double total = 0;
  const double bar = SecondsUntilShown(
      tool + " scan --from 10 --to 12 --baud 9600 --station-timeout-ms 50 --port " + sim.port,
      "scanning 10-12 [", &total);
  EXPECT_GE(bar, 0);
  EXPECT_LT(bar, total - 0.5) << "the bar shows while the scan goes on";
  const double note = SecondsUntilShown(tool + " read S --station 99 --port " + sim.port,
                                        "waiting 1 s for station 99", &total);
  EXPECT_GE(note, 0);
  EXPECT_LT(note, total - 0.5) << "the note shows while the read waits";
}

// qvotk monitor on tovek-sim's tap: each request paired with its reply, the
// verdicts counted per station; 1 MB of noise on a tap costs it no memory
// and no later pair.
TEST_F(Tools, TheMonitorPairsWhatTheTapHearsAndStaysSmallUnderNoise) {
  SKIP_SIGNALS_UNDER_EMULATOR();
  const std::string tap = workingDirectory.path() + "/tap";
  SimulatorProcess sim;
  ASSERT_TRUE(sim.Start({"--station", "12", "--mirror", tap, "--fault-script", "bad-checksum"}));
  ChildProcess monitor;
  std::string line;
  ASSERT_TRUE(StartTool(&monitor, {"monitor", "--json", "--port", tap}));
  ASSERT_TRUE(WaitUntil([&] { return HoldsOpen(monitor.pid(), tap); })) << "the monitor listens";
  std::string output;
  EXPECT_EQ(RunTool("read 001 -v --station 12 --timeout-ms 50 --port " + sim.port, &output), 0);
  EXPECT_NE(output.find("attempt 2: sent :060900126600106F<CR><LF>; received"), std::string::npos) << output;
  std::vector<Json> heard;
  while (heard.size() < 2 && monitor.ReadLine(&line, 2000)) heard.push_back(Json::parse(line));
  ASSERT_EQ(heard.size(), 2u);
  EXPECT_EQ(heard[0]["result"], "bad checksum");
  EXPECT_EQ(heard[1]["result"], "ok");
  EXPECT_EQ(heard[1]["station"], 12);
  EXPECT_EQ(heard[1]["point"], 1);
  EXPECT_EQ(heard[1]["value"], 13);
  monitor.Send(SIGINT);
  ASSERT_TRUE(monitor.ReadLine(&line, 2000));
  const Json summary = Json::parse(line)["summary"]["12"];
  EXPECT_EQ(summary["exchanges"], 2);
  EXPECT_EQ(summary["badChecksum"], 1);
  EXPECT_EQ(monitor.Wait(2000), 130);

  PseudoTerminal noisy;
  ChildProcess listener;
  ASSERT_TRUE(StartTool(&listener, {"monitor", "--json", "--port", noisy.portName()}));
  ASSERT_TRUE(WaitUntil([&] { return HoldsOpen(listener.pid(), noisy.path()); })) << "the monitor listens";
  auto resident = [&] {
    std::ifstream status("/proc/" + std::to_string(listener.pid()) + "/status");
    long kilobytes = 0;
    for (std::string key; status >> key;) {
      if (key == "VmRSS:") status >> kilobytes;
    }
    return kilobytes;
  };
  const long before = resident();
  // A frame start, then 1 MB without its end: what a splitter that kept it
  // all would hold. The write waits for the monitor to read.
  std::string noise(1 << 20, 'x');
  noise[0] = ':';
  for (size_t i = 1; i < noise.size(); i += 97) noise[i] = static_cast<char>('A' + i % 26);
  noisy.Write(noise);
  noisy.Write(":0508001268007E\r\n:070000126800020084\r\n");
  bool paired = false;
  while (!paired && listener.ReadLine(&line, 3000))
    paired = line.find("\"result\":\"ok\"") != std::string::npos;
  EXPECT_TRUE(paired) << "pairs again after the noise";
  // Under AddressSanitizer freed blocks wait in its quarantine, and
  // resident memory grows with every read, not with what is kept.
  constexpr long kBoundKilobytes = kUnderAddressSanitizer ? 64 * 1024 : 16 * 1024;
  EXPECT_LT(resident() - before, kBoundKilobytes) << "memory stays bounded";
  listener.Stop(SIGTERM);
}

// On a line that echoes, the monitor names the echo and keeps it out of the
// latency and the "no answer"; a block reply the master at once asks again
// for is suspect; a block request unanswered says no count.
TEST_F(Tools, TheMonitorNamesTheEchoAndDoubtsABlockTheMasterRefused) {
  SKIP_SIGNALS_UNDER_EMULATOR();
  const std::string tap = workingDirectory.path() + "/tap";
  SimulatorProcess sim;
  ASSERT_TRUE(sim.Start({"--station", "12", "--block-count", "4", "--mirror", tap, "--fault-script", "echo",
                         "--fault-script", "wrong-block-count"}));
  ChildProcess monitor;
  ASSERT_TRUE(StartTool(&monitor, {"monitor", "--json", "--no-answer-ms", "500", "--port", tap}));
  ASSERT_TRUE(WaitUntil([&] { return HoldsOpen(monitor.pid(), tap); })) << "the monitor listens";
  const std::string line = " --station 12 --timeout-ms 50 --port " + sim.port;
  std::string output;
  EXPECT_EQ(RunTool("read 001" + line, &output), 0) << output;
  EXPECT_EQ(RunTool("block 4" + line, &output), 0) << output;
  EXPECT_EQ(RunTool("block 4 --station 99 --timeout-ms 100 --port " + sim.port, &output), 2) << output;
  std::vector<Json> heard;
  std::string text;
  while (heard.size() < 5 && monitor.ReadLine(&text, 3000)) heard.push_back(Json::parse(text));
  ASSERT_EQ(heard.size(), 5u);
  EXPECT_EQ(heard[0]["result"], "echo");
  EXPECT_FALSE(heard[0].contains("latencyMs"));
  EXPECT_EQ(heard[1]["result"], "ok");
  EXPECT_EQ(heard[1]["value"], 13);
  EXPECT_EQ(heard[2]["result"], "suspect") << "the master asked again at once";
  EXPECT_EQ(heard[3]["result"], "ok");
  EXPECT_EQ(heard[3]["values"], Json::parse("[1, 2, 3, 4]"));
  EXPECT_EQ(heard[4]["result"], "no answer");
  EXPECT_TRUE(heard[4]["values"].is_null()) << "a block request says no count";
  monitor.Send(SIGINT);
  while (monitor.ReadLine(&text, 3000) && text.find("summary") == std::string::npos) continue;
  const Json summary = Json::parse(text)["summary"]["12"];
  EXPECT_EQ(summary["exchanges"], 3);
  EXPECT_EQ(summary["noAnswer"], 0);
  EXPECT_EQ(summary["echoes"], 1);
  EXPECT_EQ(summary["suspect"], 1);
  EXPECT_EQ(monitor.Wait(2000), 130);
}

}  // namespace
