#include "app/saved_log.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

#include "app/version.h"
#include "platform/escape_controls.h"
#include "platform/log_files.h"
#include "platform/sha256.h"
#include "session/sub_fw_info.h"

namespace tessaly {

namespace fs = std::filesystem;

namespace {

constexpr std::uint8_t kModelNotLearned = 0xFF;
constexpr const char* kNamePrefix = "update-";
constexpr const char* kNameSuffix = ".log";
constexpr std::size_t kAddressChars = 64;  // an address text is short; a typed one may not be
constexpr int kNameTries = 100;            // logs begun within one millisecond, to one address

std::string Printed(const char* format, int a, int b, int c, int d, int e, int f, int g) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, a, b, c, d, e, f, g);
  return buffer;
}

std::tm Local(SavedLog::Clock::time_point t) {
  std::tm tm{};
  if (!LocalTime(SavedLog::Clock::to_time_t(t), tm)) tm = std::tm{};
  return tm;
}

int Millis(SavedLog::Clock::time_point t) {
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() % 1000);
}

// 2026-12-09 21:05:03.123, local time: what the operator's clock said.
std::string LocalStamp(SavedLog::Clock::time_point t) {
  const std::tm tm = Local(t);
  return Printed("%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                 tm.tm_min, tm.tm_sec, Millis(t));
}

// 2026-12-09T20:05:03.123Z, for logs compared across time zones.
std::string UtcStamp(SavedLog::Clock::time_point t) {
  using namespace std::chrono;
  const auto day = floor<days>(t);
  const year_month_day date{day};
  const hh_mm_ss<milliseconds> time{floor<milliseconds>(t - day)};
  return Printed("%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                 static_cast<int>(static_cast<unsigned>(date.month())),
                 static_cast<int>(static_cast<unsigned>(date.day())), static_cast<int>(time.hours().count()),
                 static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()),
                 static_cast<int>(time.subseconds().count()));
}

bool SafeNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
}

// The address as typed may hold anything: only characters every file system takes.
std::string SafeAddress(const std::string& address) {
  std::string out;
  for (char c : address.substr(0, kAddressChars)) out += SafeNameChar(c) ? c : '_';
  return out.empty() ? "none" : out;
}

std::string BaseName(SavedLog::Clock::time_point t, const std::string& address) {
  const std::tm tm = Local(t);
  return kNamePrefix +
         Printed("%04d%02d%02d-%02d%02d%02d-%03d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                 tm.tm_sec, Millis(t)) +
         "-" + SafeAddress(address);
}

std::string Hex(const Sha256Digest& digest) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : digest) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

// The file's size and digest from one read of it.
std::string FileFacts(const std::string& path) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!f) return std::string("cannot be read: ") + std::strerror(errno);
  Sha256 sha;
  std::vector<unsigned char> buffer(1u << 20);
  std::uint64_t size = 0;
  for (;;) {
    const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), f.get());
    if (got > 0) sha.Update(buffer.data(), got);
    size += got;
    if (got < buffer.size()) break;
  }
  if (std::ferror(f.get())) return "cannot be read to its end";
  Sha256Digest digest{};
  const std::string digestText = sha.Final(digest) ? "SHA-256 " + Hex(digest) : "SHA-256 not available";
  return std::to_string(size) + " bytes, " + digestText;
}

std::string ModelText(std::uint8_t kind) {
  switch (kind) {
    case kModelQMA: return "QMA";
    case kModelQMB: return "QMB";
    case kModelUnknown: return "neither QMA nor QMB";
    default: return "not learned in this update";
  }
}

}  // namespace

std::string DefaultSavedLogFolder() { return UserLogFolder(); }

bool IsSavedLogName(const std::string& name) {
  // update-YYYYMMDD-HHMMSS-mmm-ADDRESS.log
  const std::string prefix = kNamePrefix;
  const std::string suffix = kNameSuffix;
  const std::string digits = "dddddddd-dddddd-ddd-";
  if (name.size() < prefix.size() + digits.size() + 1 + suffix.size()) return false;
  if (name.compare(0, prefix.size(), prefix) != 0) return false;
  if (name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    const char c = name[prefix.size() + i];
    if (digits[i] == 'd' ? !(c >= '0' && c <= '9') : c != digits[i]) return false;
  }
  const std::size_t rest = prefix.size() + digits.size();
  return std::all_of(name.begin() + static_cast<long>(rest), name.end() - static_cast<long>(suffix.size()),
                     SafeNameChar);
}

SavedLogWriter::SavedLogWriter() { thread_ = std::thread([this] { Loop(); }); }

SavedLogWriter::~SavedLogWriter() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void SavedLogWriter::Run(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    work_.push_back(std::move(work));
  }
  wake_.notify_one();
}

void SavedLogWriter::Loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || !work_.empty(); });
    if (work_.empty()) return;  // stopped, and everything has run
    std::function<void()> work = std::move(work_.front());
    work_.pop_front();
    lock.unlock();
    work();
    lock.lock();
  }
}

SavedLog::SavedLog(SavedLogOptions options)
    : options_(std::move(options)),
      warnings_(options_.warnings ? *options_.warnings : stderr_),
      writer_(options_.writer ? options_.writer : std::make_shared<SavedLogWriter>()) {}

SavedLog::~SavedLog() {
  // The writer may be shared: nothing of ours is left on it.
  Flush();
  if (file_) std::fclose(file_);
}

void SavedLog::Begin(const SavedLogStart& start) {
  if (IsOpen()) End("cut short: a new update began");
  const Clock::time_point now = Now();

  std::FILE* file = nullptr;
  std::string path;
  std::string why = "no folder is named for it";
  std::error_code ec;
  if (!options_.folder.empty() && (fs::create_directories(options_.folder, ec), !ec)) {
    const std::string base = BaseName(now, start.projectorAddress);
    why = "the names are taken";
    for (int n = 1; n <= kNameTries && !file; ++n) {
      const std::string name = base + (n == 1 ? "" : "-" + std::to_string(n)) + kNameSuffix;
      path = (fs::path(options_.folder) / name).string();
      // Created only where nothing has the name: a link planted there is never followed.
      int error = 0;
      file = CreateNewFile(path, error);
      if (!file && error != EEXIST) {
        why = std::strerror(error);
        break;
      }
    }
  } else if (ec) {
    why = ec.message();
  }
  if (!file) warnings_.Write("The update's log cannot be saved in \"" + options_.folder + "\": " + why);

  {
    // The head and the held lines go in before any line that another thread writes.
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    model_ = kModelNotLearned;
    lastPath_ = file ? path : std::string();
    std::vector<Stamped> held;
    held.swap(held_);
    if (file) {
      Job head(Job::Head);
      head.file = file;
      head.path = path;
      head.start = start;
      head.line.time = now;
      jobs_.push_back(std::move(head));
      for (Stamped& line : held) {
        Job job(Job::Line);
        job.line = std::move(line);
        jobs_.push_back(std::move(job));
      }
    }
    Wake();
  }
}

bool SavedLog::Line(LogLevel level, const std::string& text, bool mayHold) {
  Stamped line{Now(), level, text};
  std::unique_lock<std::mutex> lock(mutex_);
  if (!open_) {
    if (!mayHold) return false;
    held_.push_back(std::move(line));
    return held_.size() == 1;
  }
  if (lastPath_.empty()) return false;  // this update has no file
  Job job(Job::Line);
  job.line = std::move(line);
  jobs_.push_back(std::move(job));
  Wake();
  return false;
}

void SavedLog::ForgetHeld() {
  std::lock_guard<std::mutex> lock(mutex_);
  held_.clear();
}

void SavedLog::Model(std::uint8_t kind) {
  std::lock_guard<std::mutex> lock(mutex_);
  model_ = kind;
}

void SavedLog::End(const std::string& outcome) {
  Job tail(Job::Tail);
  tail.outcome = outcome;
  tail.line.time = Now();
  std::lock_guard<std::mutex> lock(mutex_);
  if (!open_) return;
  open_ = false;
  if (lastPath_.empty()) return;
  tail.model = ModelText(model_);
  jobs_.push_back(std::move(tail));
  Wake();
}

bool SavedLog::IsOpen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_;
}

std::string SavedLog::LastPath() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastPath_;
}

void SavedLog::Flush() {
  std::unique_lock<std::mutex> lock(mutex_);
  idle_.wait(lock, [this] { return jobs_.empty() && !writing_ && !draining_; });
}

void SavedLog::Wake() {
  if (draining_ || jobs_.empty()) return;
  draining_ = true;
  writer_->Run([this] { Drain(); });
}

void SavedLog::Drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!jobs_.empty()) {
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    writing_ = true;
    lock.unlock();
    Write(job);
    lock.lock();
    writing_ = false;
  }
  draining_ = false;
  // Under the lock: once Flush sees us idle, this log may go.
  idle_.notify_all();
}

void SavedLog::Write(const Job& job) {
  switch (job.kind) {
    case Job::Head:
      if (file_) std::fclose(file_);
      file_ = job.file;
      filePath_ = job.path;
      Put(std::string("Updater for Tessaly: the log of one update"));
      Put(std::string("Program version: ") + ProgramVersion());
      Put("Started: " + LocalStamp(job.line.time) + " local time, " + UtcStamp(job.line.time));
      Put("Projector address: " + job.start.projectorAddress);
      for (const auto& [what, path] : job.start.files) Put(what + ": " + path + ", " + FileFacts(path));
      Put("");
      break;
    case Job::Line:
      Put(LocalStamp(job.line.time) + (job.line.level == LogLevel::Error ? " error " : " info  ") + job.line.text);
      break;
    case Job::Tail:
      Put("");
      Put("Projector model: " + job.model);
      Put("Outcome: " + job.outcome);
      Put("Ended: " + LocalStamp(job.line.time) + " local time, " + UtcStamp(job.line.time));
      if (file_ && std::fclose(file_) != 0) {
        warnings_.Write("The update's log cannot be written to \"" + filePath_ + "\": " + std::strerror(errno));
      }
      file_ = nullptr;
      Prune();
      break;
  }
}

void SavedLog::Put(const std::string& text) {
  if (!file_) return;
  // File names, the address and the projector's replies: shown, and never a line of their own.
  const std::string line = EscapeControls(text) + '\n';
  if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() || std::fflush(file_) != 0) {
    warnings_.Write("The update's log cannot be written to \"" + filePath_ + "\": " + std::strerror(errno));
    std::fclose(file_);
    file_ = nullptr;  // said once: the rest of this update's log is dropped
  }
}

void SavedLog::Prune() {
  std::error_code ec;
  std::vector<std::string> ours;
  for (fs::directory_iterator it(options_.folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (IsSavedLogName(name) && it->is_regular_file(ec)) ours.push_back(name);
  }
  if (ours.size() <= options_.keep) return;
  // The names begin with the time: newest first.
  std::sort(ours.begin(), ours.end(), std::greater<>());
  for (std::size_t i = options_.keep; i < ours.size(); ++i) fs::remove(fs::path(options_.folder) / ours[i], ec);
}

}  // namespace tessaly
