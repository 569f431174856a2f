// What the commands print: lines for people, or one JSON value per command
// for scripts.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

std::string JsonString(const std::string& text);

class JsonObject {
 public:
  JsonObject& Add(const std::string& key, const std::string& value);
  JsonObject& Add(const std::string& key, const char* value) { return Add(key, std::string(value)); }
  JsonObject& Add(const std::string& key, int64_t value);
  JsonObject& Add(const std::string& key, double value);
  JsonObject& Add(const std::string& key, bool value);
  JsonObject& AddRaw(const std::string& key, const std::string& json);
  std::string Text() const;

 private:
  std::vector<std::pair<std::string, std::string>> fields_;
};

std::string JsonArray(const std::vector<std::string>& items);

// What a command found. One printer renders it: the lines on standard
// output for people, or the JSON value for scripts; an error goes to
// standard error, and with --json also to standard output as
// {"error": ..., "status": ...}.
struct Result {
  int status = 0;  // the exit status
  std::vector<std::string> lines;
  std::string json;
  std::string error;
};

Result Failure(int status, const std::string& error);
void Print(const Result& result, bool json);

// Whether `stream` is a terminal, where a live status line or a progress bar
// may redraw itself.
bool IsTerminal(FILE* stream);
