#include "output.h"

#include <cmath>
#include <cstdio>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

JsonObject& JsonObject::Add(const std::string& key, const std::string& value) {
  fields_.emplace_back(key, JsonString(value));
  return *this;
}

JsonObject& JsonObject::Add(const std::string& key, int64_t value) {
  fields_.emplace_back(key, std::to_string(value));
  return *this;
}

JsonObject& JsonObject::Add(const std::string& key, double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", std::isfinite(value) ? value : 0.0);
  fields_.emplace_back(key, text);
  return *this;
}

JsonObject& JsonObject::Add(const std::string& key, bool value) {
  fields_.emplace_back(key, value ? "true" : "false");
  return *this;
}

JsonObject& JsonObject::AddRaw(const std::string& key, const std::string& json) {
  fields_.emplace_back(key, json);
  return *this;
}

std::string JsonObject::Text() const {
  std::string out = "{";
  for (size_t i = 0; i < fields_.size(); ++i) {
    if (i) out += ", ";
    out += JsonString(fields_[i].first) + ": " + fields_[i].second;
  }
  return out + "}";
}

std::string JsonArray(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + items[i];
  return out + "]";
}

Result Failure(int status, const std::string& error) {
  Result result;
  result.status = status;
  result.error = error;
  return result;
}

void Print(const Result& result, bool json) {
  if (!result.error.empty()) std::fprintf(stderr, "qvotk: %s\n", result.error.c_str());
  if (json) {
    if (!result.json.empty()) {
      std::printf("%s\n", result.json.c_str());
    } else if (!result.error.empty()) {
      std::printf("%s\n", JsonObject()
                              .Add("error", result.error)
                              .Add("status", static_cast<int64_t>(result.status))
                              .Text()
                              .c_str());
    }
  } else {
    for (const std::string& line : result.lines) std::printf("%s\n", line.c_str());
  }
  std::fflush(stdout);
}

bool IsTerminal(FILE* stream) {
#if defined(_WIN32)
  return _isatty(_fileno(stream)) != 0;
#else
  return isatty(fileno(stream)) != 0;
#endif
}
