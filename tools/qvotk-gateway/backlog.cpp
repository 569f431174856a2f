#include "backlog.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "log.h"

namespace gateway {
namespace {

constexpr int64_t kPageBytes = 4096;

// A prepared statement, finalised when it goes.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr); }
  ~Statement() { sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  sqlite3_stmt* get() const { return statement_; }
  explicit operator bool() const { return statement_ != nullptr; }

 private:
  sqlite3_stmt* statement_ = nullptr;
};

std::string Text(sqlite3_stmt* statement, int column) {
  const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement, column));
  return bytes == nullptr ? ""
                          : std::string(bytes, static_cast<size_t>(sqlite3_column_bytes(statement, column)));
}

}  // namespace

Backlog::~Backlog() { sqlite3_close(db_); }

bool Backlog::Run(const char* sql, std::string* error) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  *error = path_ + ": " + (message != nullptr ? message : sqlite3_errmsg(db_));
  sqlite3_free(message);
  return false;
}

int64_t Backlog::Number(const std::string& sql) {
  Statement query(db_, sql.c_str());
  return query && sqlite3_step(query.get()) == SQLITE_ROW ? sqlite3_column_int64(query.get(), 0) : 0;
}

bool Backlog::Open(const std::string& directory, size_t maxBytes, std::string* error) {
  std::error_code failed;
  std::filesystem::create_directories(directory, failed);
  path_ = directory + "/backlog.db";
  // The journal takes a quarter of the bound at most, checkpointed well
  // before it; the rows five eighths, but for the file's own first pages;
  // the rest is room for a batch, and for pages the rows fill in part.
  const int64_t bound = static_cast<int64_t>(maxBytes);
  rowBytes_ = std::max<int64_t>(kPageBytes, bound * 5 / 8 - 2 * kPageBytes);
  const std::string pragmas =
      "PRAGMA page_size=" + std::to_string(kPageBytes) +
      "; PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;" +
      "PRAGMA wal_autocheckpoint=" + std::to_string(std::max<int64_t>(1, bound / 16 / kPageBytes)) + ";" +
      "PRAGMA journal_size_limit=" + std::to_string(bound / 4) + ";" +
      // Rows go in at one end and out at the other: a small cache serves
      // both, and the memory stays flat however long the broker is away.
      "PRAGMA cache_size=-256;" +
      "CREATE TABLE IF NOT EXISTS kept (id INTEGER PRIMARY KEY AUTOINCREMENT, topic TEXT NOT NULL, "
      "payload BLOB NOT NULL);";
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
      *error = path_ + ": " + sqlite3_errmsg(db_);
      return false;
    }
    if (Run(pragmas.c_str(), error)) break;
    const int code = sqlite3_errcode(db_);
    sqlite3_close(db_);
    db_ = nullptr;
    if (attempt > 0 || (code != SQLITE_NOTADB && code != SQLITE_CORRUPT)) return false;
    // What is no database cannot be read back: kept aside, and a new one begun.
    const std::string aside = path_ + ".broken-" + std::to_string(UnixMicroseconds() / 1000000);
    std::filesystem::rename(path_, aside, failed);
    for (const char* journal : {"-wal", "-shm"}) std::filesystem::remove(path_ + journal, failed);
    Log(Level::Error, "mqtt", *error + ": kept aside as " + aside + "; a new one begins");
  }
  size_ = static_cast<size_t>(Number("SELECT count(*) FROM kept"));
  Bound();
  // A file grown past a bound lowered since: made small again.
  std::string ignored;
  if (Number("PRAGMA page_count") * kPageBytes > bound && Run("VACUUM", &ignored)) {
    Run("PRAGMA wal_checkpoint(TRUNCATE)", &ignored);
  }
  return true;
}

bool Backlog::Append(const std::vector<Message>& messages, std::string* error) {
  if (messages.empty()) return true;
  if (!Run("BEGIN", error)) {
    dropped_ += messages.size();
    return false;
  }
  Statement insert(db_, "INSERT INTO kept (topic, payload) VALUES (?, ?)");
  bool good = static_cast<bool>(insert);
  for (size_t i = 0; good && i < messages.size(); ++i) {
    const Message& message = messages[i];
    sqlite3_bind_text(insert.get(), 1, message.topic.data(), static_cast<int>(message.topic.size()),
                      SQLITE_STATIC);
    sqlite3_bind_blob(insert.get(), 2, message.payload.data(), static_cast<int>(message.payload.size()),
                      SQLITE_STATIC);
    good = sqlite3_step(insert.get()) == SQLITE_DONE;
    sqlite3_reset(insert.get());
  }
  if (good) good = Run("COMMIT", error);
  if (!good) {
    if (error->empty()) *error = path_ + ": " + sqlite3_errmsg(db_);
    std::string ignored;
    Run("ROLLBACK", &ignored);
    dropped_ += messages.size();
    return false;
  }
  size_ += messages.size();
  Bound();
  return true;
}

void Backlog::Bound() {
  const int64_t used = (Number("PRAGMA page_count") - Number("PRAGMA freelist_count")) * kPageBytes;
  if (used <= rowBytes_ || size_ == 0) return;
  // Down to nine tenths of the rows' share, the rows taken as alike.
  const double share = static_cast<double>(used - rowBytes_ * 9 / 10) / static_cast<double>(used);
  const auto drop = std::max<int64_t>(1, static_cast<int64_t>(std::ceil(static_cast<double>(size_) * share)));
  Statement oldest(db_, "DELETE FROM kept WHERE id IN (SELECT id FROM kept ORDER BY id LIMIT ?)");
  sqlite3_bind_int64(oldest.get(), 1, drop);
  if (sqlite3_step(oldest.get()) != SQLITE_DONE) return;
  const auto gone = static_cast<size_t>(sqlite3_changes(db_));
  size_ -= std::min<size_t>(gone, size_);
  dropped_ += gone;
}

std::vector<Backlog::Message> Backlog::Oldest(int64_t after, size_t count) {
  std::vector<Message> messages;
  Statement select(db_, "SELECT id, topic, payload FROM kept WHERE id > ? ORDER BY id LIMIT ?");
  sqlite3_bind_int64(select.get(), 1, after);
  sqlite3_bind_int64(select.get(), 2, static_cast<int64_t>(count));
  while (select && sqlite3_step(select.get()) == SQLITE_ROW) {
    messages.push_back({sqlite3_column_int64(select.get(), 0), Text(select.get(), 1), Text(select.get(), 2)});
  }
  return messages;
}

void Backlog::Remove(const std::vector<int64_t>& ids) {
  if (ids.empty()) return;
  std::string ignored;
  Run("BEGIN", &ignored);
  Statement remove(db_, "DELETE FROM kept WHERE id = ?");
  size_t gone = 0;
  for (const int64_t id : ids) {
    sqlite3_bind_int64(remove.get(), 1, id);
    if (sqlite3_step(remove.get()) == SQLITE_DONE) gone += static_cast<size_t>(sqlite3_changes(db_));
    sqlite3_reset(remove.get());
  }
  Run("COMMIT", &ignored);
  size_ -= std::min(gone, size_.load());
}

}  // namespace gateway
