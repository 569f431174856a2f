// End to end over pseudo-terminals: tovek-sim as a separate process, the
// real driver library loaded through its export, and the qvotk tool.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "common/child_process.h"
#include "line_watch/frames.h"
#include "qvotk_host/host_channel.h"
#include "support/build_programs.h"
#include "support/every_opcode.h"
#include "support/pty.h"
#include "support/requests.h"
#include "support/simulator_process.h"
#include "support/temp_dir.h"
#include "support/unpluggable_line.h"

namespace {

using Json = nlohmann::ordered_json;
const std::string kBin = QVO_BIN_DIR;

using Simulator = SimulatorProcess;

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(LoadDriverLibrary("", kBin, &library, &error)) << error;
    session = std::make_unique<HostChannel>(library.entry);
  }

  // Opens line 1 at the given station on the simulator's port.
  void Open(const Simulator& sim, int station, uint32_t timeoutUnits = 10) {
    workingDirectory.WriteFile("QVOTK01.int", "STATION=" + std::to_string(station) + "\n");
    LineOptions options;
    options.port = sim.port;
    options.lineNumber = 1;
    options.line = kTestLine;
    options.timeoutUnits = timeoutUnits;
    ASSERT_EQ(session->Open(options), QVO_STATUS_OK) << sim.port;
  }

  Point Named(const std::string& name) {
    Point point;
    EXPECT_EQ(session->Validate(name, &point), QVO_STATUS_OK) << name;
    return point;
  }

  TemporaryWorkingDirectory workingDirectory;
  DriverLibrary library;
  std::unique_ptr<HostChannel> session;
};

TEST_F(EndToEnd, EveryOpcodeOnce) {
  Simulator sim;
  ASSERT_TRUE(sim.Start({"--station", "12", "--s-point", "7", "--point", "9=200", "--block-count", "5"}));
  Open(sim, 12);  // 1
  ExpectEveryOpcodeOnce(*session, library.entry, {sim.port, 5, true});
}

TEST_F(EndToEnd, InjectedFaultsGiveTheStatusTheDriverPromises) {
  struct FaultCase {
    const char* fault;
    const char* point;  // "block" for a block read
    QvoStatus status;
    long frames;
  };
  const FaultCase cases[] = {
      {"status-error", "S", QVO_STATUS_REJECTED, 10},
      {"no-reply", "001", QVO_STATUS_NO_ANSWER, 10},
      {"short-reply", "001", QVO_STATUS_NO_ANSWER, 10},
      {"bad-checksum", "001", QVO_STATUS_REJECTED, 10},
      {"bad-checksum", "S", QVO_STATUS_OK, 1},  // S-point replies carry no checked checksum
      {"stray-bytes", "S", QVO_STATUS_OK, 1},   // skipped ahead of the reply in the same attempt
      {"wrong-block-count", "block", QVO_STATUS_NO_ANSWER, 10},
      {"echo", "001", QVO_STATUS_OK, 1},  // the line's echo of the request is skipped
      {"echo", "block", QVO_STATUS_OK, 1},
  };
  for (const auto& c : cases) {
    Simulator sim;
    std::vector<std::string> arguments = {"--station", "3", "--block-count", "4"};
    for (int i = 0; i < 10; ++i) {
      arguments.push_back("--fault-script");
      arguments.push_back(c.fault);
    }
    ASSERT_TRUE(sim.Start(arguments));
    Open(sim, 3, 10);  // 100 ms: room for a late reply under emulation
    QvoStatus status;
    if (std::string(c.point) == "block") {
      std::vector<uint16_t> values;
      status = session->ReadBlock(4, &values);
    } else {
      uint16_t value = 0;
      status = session->Read(Named(c.point), &value);
    }
    session->Close();
    EXPECT_EQ(status, c.status) << c.fault << " on " << c.point;
    EXPECT_EQ(sim.Frames(), c.frames) << c.fault << " on " << c.point;
  }
}

TEST_F(EndToEnd, BlockOf255Values) {
  Simulator sim;
  ASSERT_TRUE(sim.Start({"--station", "1", "--block-count", "255"}));
  Open(sim, 1);
  std::vector<uint16_t> values;
  ASSERT_EQ(session->ReadBlock(255, &values), QVO_STATUS_OK);
  for (size_t i = 0; i < 255; ++i) ASSERT_EQ(values[i], (i + 1) & 0xFF) << i;
  session->Close();
}

TEST_F(EndToEnd, StationFileSelectsTheControllerOnAMultiDropLine) {
  Simulator sim;
  ASSERT_TRUE(sim.Start({"--station", "12", "--station", "13"}));
  uint16_t value = 0;
  Open(sim, 12);
  ASSERT_EQ(session->Read(Named("001"), &value), QVO_STATUS_OK);
  EXPECT_EQ(value, 13) << "station 12 holds point n + 12";
  session->Close();
  Open(sim, 13);
  ASSERT_EQ(session->Read(Named("001"), &value), QVO_STATUS_OK);
  EXPECT_EQ(value, 14);
  session->Close();
}

// Runs the qvotk tool; returns its exit status and what it printed.
// Runs a program of the build; returns its exit status and what it printed.
int RunProgram(const std::string& program, const std::string& arguments, std::string* output,
               bool withErrors = true) {
  const std::string path = program[0] == '/' ? program : BuildProgramCommandLine(program);
  const std::string command = path + " " + arguments + (withErrors ? " 2>&1" : " 2>/dev/null");
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[512];
  output->clear();
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) *output += buffer;
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RunTool(const std::string& arguments, std::string* output) {
  return RunProgram("qvotk", arguments, output);
}

// Runs the tool with --json; its exit status, and its standard output, which
// must be JSON lines and nothing else.
int RunToolJson(const std::string& arguments, std::vector<Json>* lines, const std::string& environment = "") {
  std::string output;
  const int status =
      environment.empty()
          ? RunProgram("qvotk", "--json " + arguments, &output, false)
          : RunProgram("/usr/bin/env",
                       environment + " " + BuildProgramCommandLine("qvotk") + " --json " + arguments, &output,
                       false);
  lines->clear();
  std::istringstream text(output);
  for (std::string line; std::getline(text, line);) {
    Json value = Json::parse(line, nullptr, false);
    EXPECT_FALSE(value.is_discarded()) << "not JSON: " << line;
    lines->push_back(value);
  }
  return status;
}

TEST_F(EndToEnd, ExampleHostReadsTheSPointAndPoint001) {
  Simulator sim;
  ASSERT_TRUE(sim.Start({"--station", "12", "--s-point", "4", "--point", "1=99"}));
  workingDirectory.WriteFile("QVOTK01.int", "STATION=12\n");
  std::string output;
  EXPECT_EQ(RunProgram("read_point", sim.port + " 9600", &output), 0) << output;
  EXPECT_EQ(output, "S = 4\n001 = 99\n");
  EXPECT_EQ(RunProgram("read_point", "ttyNOPE9", &output), 2) << output;
  EXPECT_NE(output.find("QVOTOVEK  : Fail to open ttyNOPE9"), std::string::npos) << output;
  EXPECT_EQ(RunProgram("read_point", "", &output), 64) << output;
}

TEST_F(EndToEnd, ToolExitStatusMirrorsTheDriver) {
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
  ASSERT_EQ(json.size(), 1u);
  EXPECT_EQ(json[0]["channelSize"], 688);

  Simulator sim;
  ASSERT_TRUE(sim.Start({"--station",      "5",
                         "--s-point",      "6",
                         "--fault-script", "status-error",
                         "--fault-script", "status-error",
                         "--fault-script", "status-error",
                         "--fault-script", "status-error",
                         "--fault-script", "status-error",
                         "--fault-script", "status-error",
                         "--fault-script", "status-error",
                         "--fault-script", "status-error",
                         "--fault-script", "status-error",
                         "--fault-script", "status-error"}));
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
TEST_F(EndToEnd, TheBannerFallsBackToAsciiOutsideAUtf8Locale) {
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

// A line paced at 9600 baud whose replies meet stray bytes, noise and
// lateness one time in ten: every value the tool reports is the
// controller's, or the round says it failed.
TEST_F(EndToEnd, ToolNeverReportsAWrongValueOnANoisyLateLine) {
  Simulator sim;
  ASSERT_TRUE(sim.Start({"--station", "12", "--s-point", "2", "--baud", "9600", "--fault-rate", "0.1",
                         "--faults", "stray-bytes,noise,delay", "--fault-delay-ms", "150", "--seed", "3"}));
  const std::string line = " --port " + sim.port + " --station 12 --baud 9600 --timeout 10";
  std::string points, output;
  for (int n = 1; n <= 60; ++n) points += (n < 10 ? " 00" : " 0") + std::to_string(n);

  std::vector<Json> json;
  RunToolJson("read" + points + line, &json);
  ASSERT_EQ(json.size(), 1u);
  int good = 0;
  for (const Json& item : json[0]) {
    if (item["status"] != 0) continue;
    ++good;
    EXPECT_EQ(item["value"], std::stoi(item["point"].get<std::string>()) + 12) << item;
  }
  EXPECT_EQ(json[0].size(), 60u);
  EXPECT_GT(good, 50);

  RunTool("poll S 001 -c 40 --interval-ms 0" + line, &output);
  std::istringstream rounds(output);
  int lines = 0;
  for (std::string round; std::getline(rounds, round);) {
    if (round.rfind("S=", 0) != 0) continue;
    ++lines;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(round, m, std::regex(R"re(^S=(\d+|\?) 001=(\d+|\?) )re"))) << round;
    EXPECT_TRUE(m[1] == "?" || m[1] == "2") << round;
    EXPECT_TRUE(m[2] == "?" || m[2] == "13") << round;
  }
  EXPECT_EQ(lines, 40) << output;
}

// The simulator's options: every bad value is a usage error that names the
// option, not an abort or a silent wrap.
TEST_F(EndToEnd, SimulatorRefusesBadValuesNamingTheOption) {
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

TEST_F(EndToEnd, RequestsRefusedBeforeAnythingIsSentExit64WithoutBlamingTheController) {
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

TEST_F(EndToEnd, RepeatedHostReportsAreShownOnce) {
  std::string output;
  EXPECT_EQ(RunTool("read S 001 --port NUL", &output), 2);
  size_t shown = 0;
  for (size_t at = 0; (at = output.find("Fail to set RTS to on", at)) != std::string::npos; ++at) ++shown;
  EXPECT_EQ(shown, 2u) << "the first report and its count: " << output;
  EXPECT_NE(output.find("Fail to set RTS to on  (repeated 10 times in all)"), std::string::npos) << output;
  EXPECT_NE(output.find("NUL fails at once"), std::string::npos) << output;
}

// Runs the tool as a child with its output on a pipe.
bool StartTool(ChildProcess* tool, const std::vector<std::string>& arguments) {
  std::string error;
  return StartBuildProgram(tool, "qvotk", arguments, &error);
}

TEST_F(EndToEnd, PollPrintsAJsonObjectARoundAndItsSummaryWhenInterrupted) {
  Simulator sim;
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

TEST_F(EndToEnd, ScanFindsTheStationsOnTheLineAndNoOthers) {
  Simulator sim;
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
TEST_F(EndToEnd, NothingIsLeftBehindAfterSigterm) {
  SKIP_SIGNALS_UNDER_EMULATOR();
  const std::string temporary = workingDirectory.path() + "/tmp";
  ASSERT_EQ(mkdir(temporary.c_str(), 0700), 0);
  setenv("TMPDIR", temporary.c_str(), 1);
  Simulator sim;
  ASSERT_TRUE(sim.Start({"--station", "12"}));
  ChildProcess poll;
  ASSERT_TRUE(StartTool(&poll, {"poll", "S", "-i", "20", "--port", sim.port, "--station", "12"}));
  std::string line;
  ASSERT_TRUE(poll.ReadLine(&line, 5000));
  EXPECT_EQ(poll.Stop(SIGTERM), 143);

  // Station 99 never answers, and a read time-out of 0 waits for ever.
  for (const int signal : {SIGINT, SIGHUP}) {
    ChildProcess read;
    ASSERT_TRUE(StartTool(&read, {"read", "S", "--timeout", "0", "--port", sim.port, "--station", "99"}));
    EXPECT_EQ(read.Wait(300), -1) << "still waiting for station 99";
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
  EXPECT_EQ(demo.Stop(SIGTERM), 143);
  unsetenv("TMPDIR");

  size_t left = 0;
  for (const auto& entry : std::filesystem::directory_iterator(temporary))
    left += entry.path().filename().string().rfind("qvotk-", 0) == 0;
  EXPECT_EQ(left, 0u) << "the private station-file directories are gone";
  // The demo's simulator, by its own arguments; the brackets keep the
  // pattern from matching the shell that runs pgrep.
  EXPECT_NE(
      system("pgrep -f 'tovek-sim --station 12 --station 13 --baud 9600 --block-count 16 --s-point [4]' "
             "> /dev/null"),
      0)
      << "the demo's simulator went with it";
}

// --link replaces only what an earlier run left: a link to a pseudo-terminal.
TEST_F(EndToEnd, TheSimulatorsLinkNeverTakesAUsersFile) {
  const std::string file = workingDirectory.path() + "/data";
  workingDirectory.WriteFile("data", "the user's data\n");
  std::string output;
  EXPECT_EQ(RunProgram("tovek-sim", "--link " + file, &output), 64) << output;
  EXPECT_NE(output.find(file + " exists and is not a symbolic link"), std::string::npos) << output;
  std::ifstream kept(file);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "the user's data\n");

  const std::string leftover = workingDirectory.path() + "/ttyT0";
  ASSERT_EQ(symlink("/dev/pts/999", leftover.c_str()), 0);
  Simulator sim;
  ASSERT_TRUE(sim.Start({"--link", leftover}));
  EXPECT_EQ(sim.port, leftover);
  EXPECT_EQ(std::filesystem::read_symlink(leftover).string().rfind("/dev/pts/", 0), 0u);
  EXPECT_NE(std::filesystem::read_symlink(leftover), "/dev/pts/999");
  sim.process.Stop(SIGHUP);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(leftover))) << "removed on SIGHUP too";
}

// Meanwhile requests fail with 2 at once, the lost descriptor is closed, and
// the channel finds its port again with no call of the host's.
TEST_F(EndToEnd, AnAdapterPulledAndPluggedInAgainIsFoundWithoutTheHost) {
  UnpluggableLine line(workingDirectory.path());
  ASSERT_TRUE(line.PlugIn());
  workingDirectory.WriteFile("QVOTK01.int", "STATION=12\n");
  LineOptions options;
  options.port = line.name;
  options.line = kTestLine;
  options.timeoutUnits = 10;
  ASSERT_EQ(session->Open(options), QVO_STATUS_OK);
  const Point s = Named("S");
  uint16_t value = 0;
  ASSERT_EQ(session->Read(s, &value), QVO_STATUS_OK);

  line.Pull();
  const size_t descriptors = OpenDescriptors();
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(session->Read(s, &value), QVO_STATUS_NO_ANSWER);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_EQ(OpenDescriptors(), descriptors - 1) << "the lost descriptor is closed at once";

  ASSERT_TRUE(line.PlugIn());
  QvoStatus status = QVO_STATUS_NO_ANSWER;
  for (int i = 0; i < 30 && status != QVO_STATUS_OK; ++i) {
    status = session->Read(s, &value);
    if (status != QVO_STATUS_OK) usleep(100000);
  }
  EXPECT_EQ(status, QVO_STATUS_OK);
  EXPECT_EQ(value, 5);
  EXPECT_EQ(OpenDescriptors(), descriptors + 1) << "the port's descriptor again, and socat's pipe";
  session->Close();
}

// qvotk poll goes on while the port is gone, a failed round at a time, says
// so once, and reads again when the driver finds it; a single read stops.
TEST_F(EndToEnd, PollGoesOnWhileThePortIsGone) {
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
  usleep(300000);
  EXPECT_EQ(tool.Wait(0), -1) << "still polling";
  ASSERT_TRUE(line.PlugIn());
  bool readAgain = false;
  for (int i = 0; i < 60 && !readAgain; ++i)
    readAgain = tool.ReadLine(&round, 100) && round.find("S=5") != std::string::npos;
  EXPECT_TRUE(readAgain) << "reads again once the port is back";
  tool.Send(SIGTERM);
  const std::string rest = tool.ReadRest(5000);
  EXPECT_EQ(tool.Wait(5000), 143);
  EXPECT_NE(rest.find("summary: "), std::string::npos) << rest;
}

// Ports as people name them: a path under /dev, or a long stable name,
// which goes through a short link of the tool's own for as long as it runs.
TEST_F(EndToEnd, ThePortIsTakenAsThePersonNamesIt) {
  Simulator sim;
  ASSERT_TRUE(sim.Start({"--station", "12", "--s-point", "3"}));
  std::string output;
  EXPECT_EQ(RunTool("read S --port /dev/" + sim.port + " --station 12", &output), 0) << output;
  const std::string byId = workingDirectory.path() + "/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0";
  ASSERT_EQ(symlink(("/dev/" + sim.port).c_str(), byId.c_str()), 0);
  EXPECT_EQ(RunTool("read S --port " + byId + " --station 12", &output), 0) << output;
  EXPECT_NE(output.find("S = 3"), std::string::npos) << output;
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
TEST_F(EndToEnd, TheToolSaysWhatItUsesAndWhatWentWrong) {
  Simulator sim;
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
  EXPECT_EQ(output, std::string("qvotk ") + "7.50\n");
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

// A capture made through the driver on a faulty line: tshark decodes its
// frames with the dissector, and tovek-sim replays it to the same results.
TEST_F(EndToEnd, ACaptureOfAFaultyLineDecodesInTsharkAndReplaysToTheSameResults) {
  const std::string capture = workingDirectory.path() + "/line-%p.pcap";
  std::vector<Json> made, replayed;
  std::string port;
  {
    Simulator sim;
    ASSERT_TRUE(sim.Start({"--station", "12", "--fault-delay-ms", "80", "--fault-script", "noise",
                           "--fault-script", "bad-checksum", "--fault-script", "delay"}));
    port = sim.port;
    EXPECT_EQ(RunToolJson("read 001 002 S --station 12 --timeout-ms 50 --port " + port, &made,
                          "QVOTK_CAPTURE=" + capture),
              0);
  }
  ASSERT_EQ(made.size(), 1u);
  EXPECT_EQ(made[0][1]["value"], 14);
  EXPECT_EQ(made[0][1]["attempts"], 3) << "the bad checksum and the late reply cost an attempt each";
  std::string file = capture;
  file.replace(file.find("%p"), 2, std::regex_replace(port, std::regex("/"), "_"));

  std::string fields;
  ASSERT_EQ(RunProgram("/usr/bin/tshark",
                       "-X lua_script:" QVO_DISSECTOR " -r " + file +
                           " -T fields -e tovek.station -e tovek.point -e tovek.value"
                           " -e tovek.checksum_ok",
                       &fields, false),
            0);
  EXPECT_NE(fields.find("12\t1\t13\t1\n"), std::string::npos) << fields;  // point 001's reply
  EXPECT_NE(fields.find("12\t2\t14\t0\n"), std::string::npos) << fields;  // the bad checksum
  EXPECT_NE(fields.find("12\t2\t14\t1\n"), std::string::npos) << fields;  // and its retry

  Simulator replay;
  ASSERT_TRUE(replay.Start({"--replay", file}));
  EXPECT_EQ(RunToolJson("read 001 002 S --station 12 --timeout-ms 50 --port " + replay.port, &replayed), 0);
  ASSERT_EQ(replayed.size(), 1u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(replayed[0][i]["value"], made[0][i]["value"]) << i;
    EXPECT_EQ(replayed[0][i]["status"], made[0][i]["status"]) << i;
  }

  // What is no capture of a serial line is refused, naming why.
  std::string output;
  workingDirectory.WriteFile("notes.pcap", "the operator's notes, not a capture\n");
  EXPECT_EQ(RunProgram("tovek-sim", "--replay notes.pcap", &output), 64);
  EXPECT_NE(output.find("no pcap capture"), std::string::npos) << output;
  std::filesystem::copy_file(file, workingDirectory.path() + "/cut.pcap");
  std::filesystem::resize_file(workingDirectory.path() + "/cut.pcap", std::filesystem::file_size(file) - 3);
  EXPECT_EQ(RunProgram("tovek-sim", "--replay cut.pcap", &output), 64);
  EXPECT_NE(output.find("cut short"), std::string::npos) << output;
  EXPECT_NE(RunProgram("/usr/bin/tshark", "-r notes.pcap", &output), 0) << "tshark refuses it itself";
}

// qvotk monitor on tovek-sim's tap: each request paired with its reply, the
// verdicts counted per station; 1 MB of noise on a tap costs it no memory
// and no later pair.
TEST_F(EndToEnd, TheMonitorPairsWhatTheTapHearsAndStaysSmallUnderNoise) {
  SKIP_SIGNALS_UNDER_EMULATOR();
  const std::string tap = workingDirectory.path() + "/tap";
  Simulator sim;
  ASSERT_TRUE(sim.Start({"--station", "12", "--mirror", tap, "--fault-script", "bad-checksum"}));
  ChildProcess monitor;
  std::string error, line;
  ASSERT_TRUE(StartBuildProgram(&monitor, "qvotk", {"monitor", "--json", "--port", tap}, &error)) << error;
  usleep(200000);
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
  ASSERT_TRUE(
      StartBuildProgram(&listener, "qvotk", {"monitor", "--json", "--port", noisy.portName()}, &error));
  usleep(200000);
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
  // all would hold.
  std::string noise(1 << 20, 'x');
  noise[0] = ':';
  for (size_t i = 1; i < noise.size(); i += 97) noise[i] = static_cast<char>('A' + i % 26);
  for (size_t i = 0; i < noise.size(); i += 65536) {
    noisy.Write(noise.substr(i, 65536));
    usleep(5000);
  }
  noisy.Write(":0508001268007E\r\n:070000126800020084\r\n");
  bool paired = false;
  while (!paired && listener.ReadLine(&line, 3000))
    paired = line.find("\"result\":\"ok\"") != std::string::npos;
  EXPECT_TRUE(paired) << "pairs again after the noise";
  EXPECT_LT(resident() - before, 16 * 1024) << "memory stays bounded";
  line_watch::FrameSplitter splitter;
  std::vector<line_watch::Frame> frames;
  splitter.Feed(noise, 0, &frames);
  EXPECT_LE(splitter.pendingBytes(), line_watch::kLongestFrame);
  listener.Stop(SIGTERM);
}

}  // namespace
