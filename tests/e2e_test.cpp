// The driver end to end, over pseudo-terminals: tovek-sim as a separate
// process, the real driver library loaded through its export, and the
// driver's values, statuses and captures as hosts and the qvotk tool get
// them. The tools' own words are tools_e2e_test.cpp's.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "qvotk_host/host_channel.h"
#include "support/end_to_end.h"
#include "support/every_opcode.h"
#include "support/pty.h"
#include "support/requests.h"
#include "support/unpluggable_line.h"

namespace {

class EndToEnd : public WorkingDirectoryTest {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(LoadDriverLibrary("", QVO_BIN_DIR, &library, &error)) << error;
    session = std::make_unique<HostChannel>(library.entry);
  }

  // Line 1's station file, naming `station`.
  void WriteStationFile(int station) {
    workingDirectory.WriteFile("QVOTK01.int", "STATION=" + std::to_string(station) + "\n");
  }

  // Opens line 1 at `station` on `port`.
  void Open(const std::string& port, int station, uint32_t timeoutUnits = 10) {
    WriteStationFile(station);
    LineOptions options;
    options.port = port;
    options.line = kTestLine;
    options.timeoutUnits = timeoutUnits;
    ASSERT_EQ(session->Open(options), QVO_STATUS_OK) << port;
  }

  Point Named(const std::string& name) {
    Point point;
    EXPECT_EQ(session->Validate(name, &point), QVO_STATUS_OK) << name;
    return point;
  }

  DriverLibrary library;
  std::unique_ptr<HostChannel> session;
};

TEST_F(EndToEnd, EveryOpcodeOnce) {
  SimulatorProcess sim;
  ASSERT_TRUE(sim.Start({"--station", "12", "--s-point", "7", "--point", "9=200", "--block-count", "5"}));
  Open(sim.port, 12);  // 1
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
    SimulatorProcess sim;
    ASSERT_TRUE(
        sim.Start(WithRepeated({"--station", "3", "--block-count", "4"}, "--fault-script", c.fault, 10)));
    Open(sim.port, 3, 10);  // 100 ms: room for a late reply under emulation
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
  SimulatorProcess sim;
  ASSERT_TRUE(sim.Start({"--station", "1", "--block-count", "255"}));
  Open(sim.port, 1);
  std::vector<uint16_t> values;
  ASSERT_EQ(session->ReadBlock(255, &values), QVO_STATUS_OK);
  for (size_t i = 0; i < 255; ++i) ASSERT_EQ(values[i], (i + 1) & 0xFF) << i;
  session->Close();
}

TEST_F(EndToEnd, StationFileSelectsTheControllerOnAMultiDropLine) {
  SimulatorProcess sim;
  ASSERT_TRUE(sim.Start({"--station", "12", "--station", "13"}));
  uint16_t value = 0;
  Open(sim.port, 12);
  ASSERT_EQ(session->Read(Named("001"), &value), QVO_STATUS_OK);
  EXPECT_EQ(value, 13) << "station 12 holds point n + 12";
  session->Close();
  Open(sim.port, 13);
  ASSERT_EQ(session->Read(Named("001"), &value), QVO_STATUS_OK);
  EXPECT_EQ(value, 14);
  session->Close();
}

TEST_F(EndToEnd, ExampleHostReadsTheSPointAndPoint001) {
  SimulatorProcess sim;
  ASSERT_TRUE(sim.Start({"--station", "12", "--s-point", "4", "--point", "1=99"}));
  WriteStationFile(12);
  std::string output;
  EXPECT_EQ(RunProgram("read_point", sim.port + " 9600", &output), 0) << output;
  EXPECT_EQ(output, "S = 4\n001 = 99\n");
  EXPECT_EQ(RunProgram("read_point", "ttyNOPE9", &output), 2) << output;
  EXPECT_NE(output.find("QVOTOVEK  : Fail to open ttyNOPE9"), std::string::npos) << output;
  EXPECT_EQ(RunProgram("read_point", "", &output), 64) << output;
}

// Under the soak label (QVO_SOAK set) a test runs at full length; briefly
// otherwise.
bool FullLength() {
  const char* soak = std::getenv("QVO_SOAK");
  return soak != nullptr && soak[0] != '\0';
}

// A line paced at 9600 baud whose replies meet stray bytes, noise and
// lateness one time in ten: every value the tool reports is the
// controller's, or the round says it failed.
TEST_F(EndToEnd, ToolNeverReportsAWrongValueOnANoisyLateLine) {
  const int pointCount = FullLength() ? 60 : 12, roundCount = FullLength() ? 40 : 10;
  SimulatorProcess sim;
  ASSERT_TRUE(sim.Start({"--station", "12", "--s-point", "2", "--baud", "9600", "--fault-rate", "0.1",
                         "--faults", "stray-bytes,noise,delay", "--fault-delay-ms", "150", "--seed", "3"}));
  const std::string line = " --port " + sim.port + " --station 12 --baud 9600 --timeout 10";
  std::string points, output;
  for (int n = 1; n <= pointCount; ++n) points += (n < 10 ? " 00" : " 0") + std::to_string(n);

  std::vector<Json> json;
  RunToolJson("read" + points + line, &json);
  ASSERT_EQ(json.size(), 1u);
  int good = 0;
  for (const Json& item : json[0]) {
    if (item["status"] != 0) continue;
    ++good;
    EXPECT_EQ(item["value"], std::stoi(item["point"].get<std::string>()) + 12) << item;
  }
  EXPECT_EQ(json[0].size(), static_cast<size_t>(pointCount));
  EXPECT_GT(good, pointCount * 5 / 6);

  RunTool("poll S 001 -c " + std::to_string(roundCount) + " --interval-ms 0" + line, &output);
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
  EXPECT_EQ(lines, roundCount) << output;
}

// Meanwhile requests fail with 2 at once, the lost descriptor is closed, and
// the channel finds its port again with no call of the host's.
TEST_F(EndToEnd, AnAdapterPulledAndPluggedInAgainIsFoundWithoutTheHost) {
  UnpluggableLine line(workingDirectory.path());
  ASSERT_TRUE(line.PlugIn());
  Open(line.name, 12);
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
  EXPECT_TRUE(WaitUntil([&] { return session->Read(s, &value) == QVO_STATUS_OK; }));
  EXPECT_EQ(value, 5);
  EXPECT_EQ(OpenDescriptors(), descriptors + 1) << "the port's descriptor again, and socat's pipe";
  session->Close();
}

// A capture made through the driver on a faulty line: tshark decodes its
// frames with the dissector, and tovek-sim replays it to the same results.
TEST_F(EndToEnd, ACaptureOfAFaultyLineDecodesInTsharkAndReplaysToTheSameResults) {
  const std::string capture = workingDirectory.path() + "/line-%p.pcap";
  std::vector<Json> made, replayed;
  std::string port;
  {
    SimulatorProcess sim;
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

  SimulatorProcess replay;
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

// A line that echoes, garbles, refuses and stays silent, captured by the
// driver and by the monitor on the tap: tshark names the echo and each
// command, says the verdict first, pairs each reply with its request and
// its time, raises expert info, and joins a frame read in two pieces.
TEST_F(EndToEnd, TsharkTellsWhatTheLineDidInCapturesOfTheDriverAndOfTheTap) {
  const std::string tap = workingDirectory.path() + "/tap";
  const std::string byDriver = workingDirectory.path() + "/driver.pcap";
  const std::string byTap = workingDirectory.path() + "/tap.pcap";
  SimulatorProcess sim;
  ASSERT_TRUE(sim.Start({"--station", "12", "--block-count", "4", "--mirror", tap, "--fault-script", "echo",
                         "--fault-script", "bad-checksum", "--fault-script", "no-reply", "--fault-script",
                         "status-error"}));
  ChildProcess monitor;
  ASSERT_TRUE(StartTool(&monitor, {"monitor", "--json", "--capture", byTap, "--port", tap}));
  ASSERT_TRUE(WaitUntil([&] { return HoldsOpen(monitor.pid(), tap); })) << "the monitor listens";
  // A retry after 100 ms is no echo, which follows its request at once.
  const std::string line = " --station 12 --timeout-ms 100 --port " + sim.port;
  std::vector<Json> results;
  for (const char* request : {"read 001 002", "write 003 2", "block 4"}) {
    EXPECT_EQ(RunToolJson(request + line, &results, "QVOTK_CAPTURE=" + byDriver), 0) << request;
  }
  std::string heard;
  while (monitor.ReadLine(&heard, 3000) && heard.find("\"block\"") == std::string::npos) continue;
  monitor.Stop(SIGTERM);

  // Under qemu-i386 the monitor stamps bytes as late, and in bursts, as the
  // emulator hands them over, so that a retry may follow its request as
  // closely as an echo; its tap is judged in the native lanes.
  std::vector<std::string> captures = {byDriver};
  if (!DriverProgramsRunUnderEmulator()) captures.push_back(byTap);
  for (const std::string& capture : captures) {
    std::string text;
    ASSERT_EQ(
        RunProgram("/usr/bin/tshark",
                   "-2 -X lua_script:" QVO_DISSECTOR " -r " + capture +
                       " -Y tovek -T fields -E separator=, -E occurrence=f -e frame.number -e tovek.echo"
                       " -e tovek.request_in -e tovek.response_in -e tovek.time -e _ws.expert.message"
                       " -e _ws.col.Info",
                   &text, false),
        0);
    SCOPED_TRACE(capture + ":\n" + text);
    std::map<std::string, std::vector<std::string>> frames;  // by number
    std::vector<std::string> infos;
    std::istringstream lines(text);
    for (std::string row; std::getline(lines, row);) {
      std::vector<std::string> field;
      std::istringstream cells(row);
      for (std::string cell; field.size() < 6 && std::getline(cells, cell, ',');) field.push_back(cell);
      std::string rest;
      std::getline(cells, rest);
      field.push_back(rest);
      ASSERT_EQ(field.size(), 7u) << row;
      frames[field[0]] = field;
      infos.push_back(field[6]);
    }
    auto shown = [&](const std::string& info) {
      return std::any_of(infos.begin(), infos.end(),
                         [&](const std::string& i) { return i.find(info) != std::string::npos; });
    };
    EXPECT_TRUE(shown("echo of request read point station 12 point 001"));
    EXPECT_TRUE(shown("BAD CHECKSUM: reply read point station 12 point 002 value 14 (not taken)"));
    EXPECT_TRUE(shown("NO REPLY: request read point station 12 point 002"));
    EXPECT_TRUE(shown("REFUSED (status 1): reply read point station 12 point 002"));
    EXPECT_TRUE(shown("reply read point station 12 point 002 value 14 ok"));
    EXPECT_TRUE(shown("request write point station 12 point 003 value 2"));
    EXPECT_TRUE(shown("reply write point station 12 point 003 ok"));
    EXPECT_TRUE(shown("reply read block 4 values"));
    size_t replies = 0, echoes = 0;
    for (const auto& [number, field] : frames) {
      if (field[6].rfind("BAD CHECKSUM", 0) == 0) {
        EXPECT_NE(field[5].find("Bad checksum"), std::string::npos) << "expert info";
      }
      if (field[1] == "1") {
        ++echoes;
        EXPECT_NE(field[5].find("echo"), std::string::npos) << "expert info: " << field[5];
      }
      if (field[2].empty()) continue;
      ++replies;  // paired both ways, with its time
      EXPECT_EQ(frames[field[2]][3], number);
      EXPECT_GE(std::stod(field[4]), 0.0) << field[4];
    }
    EXPECT_EQ(echoes, 1u);
    EXPECT_EQ(replies, 6u) << "001; 002 three times; the write; the block";
  }
  std::string text;
  RunProgram("/usr/bin/tshark", "-2 -X lua_script:" QVO_DISSECTOR " -r " + byDriver + " -Y tovek", &text,
             false);
  EXPECT_NE(text.find("start of a frame, completed in"), std::string::npos)
      << "the block reply is read in two pieces: " << text;
  // Loaded twice (a plugins folder and -X lua_script:): the second stands aside.
  EXPECT_EQ(
      RunProgram("/usr/bin/tshark",
                 "-X lua_script:" QVO_DISSECTOR " -X lua_script:" QVO_DISSECTOR " -r " + byDriver, &text),
      0);
  EXPECT_EQ(text.find("Lua"), std::string::npos) << text;
}

}  // namespace
