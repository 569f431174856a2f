// What the commands print: lines for people, or JSON for scripts. Every
// JSON result is an object with "status", and "error" where it failed;
// `read` prints an array of them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

using Json = nlohmann::ordered_json;

// What a command found. One printer renders it: the lines on standard
// output for people, with an error on standard error; or the JSON value
// alone on standard output.
struct Result {
  int status = 0;  // the exit status
  std::vector<std::string> lines;
  Json json;  // null: {"status", "error"} is made from the rest
  std::string error;
};

Result Failure(int status, const std::string& error);
void Print(const Result& result, bool json);

// One line of JSON; bytes that are no UTF-8 (a point name as typed, a
// device's name) become U+FFFD, so that any input gives valid JSON.
std::string JsonLine(const Json& value);

// A measured figure for JSON to `decimals` places (microseconds whole,
// milliseconds to 3): no more digits than the clock gives.
double JsonFigure(double value, int decimals);

// Whether the tool's standard output or standard error was a terminal when
// it started (before the report filter took standard error over): where a
// status line or a progress bar may redraw itself.
void NoteTerminals();
bool OutputIsTerminal();
bool ErrorsGoToTerminal();

// A status line that redraws itself on the terminal (poll's): a report
// clears it first rather than being glued to its end.
void NoteStatusLine();
bool TakeStatusLine();  // whether one was shown since; it is not any more
