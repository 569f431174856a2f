// What the broker could not take yet, on disk: an SQLite file in the state
// directory, in WAL mode, each batch one transaction written through to the
// disk, so that a restart of the gateway or a power cut loses no batch
// committed. Kept in the order given, within a bound: past it, the oldest
// go, and are counted. Used from one thread; size() and dropped() from any.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct sqlite3;

namespace gateway {

class Backlog {
 public:
  struct Message {
    int64_t id = 0;  // its place in the order, given when kept
    std::string topic, payload;
  };

  Backlog() = default;
  Backlog(const Backlog&) = delete;
  Backlog& operator=(const Backlog&) = delete;
  ~Backlog();

  // Opens (or makes) "<directory>/backlog.db", with what an earlier run
  // left in it; the database and its journal stay within about `maxBytes`.
  bool Open(const std::string& directory, size_t maxBytes, std::string* error);
  // Keeps `messages` after those kept, then drops the oldest past the
  // bound; false with the reason when the disk refused them, which are
  // then counted as dropped.
  bool Append(const std::vector<Message>& messages, std::string* error);
  // Up to `count` of the oldest kept with an id above `after`.
  std::vector<Message> Oldest(int64_t after, size_t count);
  // Forgets what the broker took.
  void Remove(const std::vector<int64_t>& ids);

  size_t size() const { return size_; }
  uint64_t dropped() const { return dropped_; }
  std::string path() const { return path_; }

 private:
  bool Run(const char* sql, std::string* error);
  // The first column of the first row `sql` gives; 0 when none.
  int64_t Number(const std::string& sql);
  // Drops the oldest while the rows' pages pass their share of the bound.
  void Bound();

  sqlite3* db_ = nullptr;
  std::string path_;
  int64_t rowBytes_ = 0;  // what the rows may take of the bound; the journal has the rest
  std::atomic<size_t> size_{0};
  std::atomic<uint64_t> dropped_{0};
};

}  // namespace gateway
