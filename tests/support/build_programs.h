// The build's programs as tests start them. Those that carry the driver (the
// qvotk tool, the example host) run as the test program itself does: through
// the cross build's emulator when there is one (qemu-i386 in the 32-bit
// lane), since a kernel without binfmt_misc cannot start them by path.
// tovek-sim, a peer and not what a lane proves, is native in every build.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "common/child_process.h"

#ifndef QVO_PROGRAM_LAUNCHER
#define QVO_PROGRAM_LAUNCHER ""
#endif

// The words that start the build's program `name`.
inline std::vector<std::string> BuildProgramCommand(const std::string& name) {
  std::vector<std::string> words;
  if (name != "tovek-sim") {
    std::istringstream launcher(QVO_PROGRAM_LAUNCHER);
    for (std::string word; launcher >> word;) words.push_back(word);
  }
  words.push_back(std::string(QVO_BIN_DIR) + "/" + name);
  return words;
}

// Whether the driver programs run under an emulator. qemu-i386 7.2 has a
// fault of its own there: once a signal handler has run in a program with a
// second thread, that program's next pthread_join fails with EDEADLK (a
// dozen-line program that joins a thread after Ctrl-C shows it). A test of
// how the tool ends on a signal is skipped under it, naming that.
inline bool DriverProgramsRunUnderEmulator() { return std::string(QVO_PROGRAM_LAUNCHER).size() > 0; }
#define SKIP_SIGNALS_UNDER_EMULATOR()   \
  if (DriverProgramsRunUnderEmulator()) \
  GTEST_SKIP() << "qemu-i386 fails a thread join after a signal handler has run (an emulator fault)"

// The same as a shell's command line.
inline std::string BuildProgramCommandLine(const std::string& name) {
  std::string line;
  for (const std::string& word : BuildProgramCommand(name)) line += (line.empty() ? "" : " ") + word;
  return line;
}

inline bool StartBuildProgram(ChildProcess* process, const std::string& name,
                              const std::vector<std::string>& arguments, std::string* error) {
  std::vector<std::string> words = BuildProgramCommand(name);
  words.insert(words.end(), arguments.begin(), arguments.end());
  const std::string program = words.front();
  words.erase(words.begin());
  return process->Start(program, words, error);
}
