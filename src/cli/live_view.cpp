#include "cli/live_view.h"

#include <algorithm>
#include <utility>

namespace tessaly::cli {

namespace {

// Lines stay within 80 columns: an address of 15, the longest stage name, the bar and
// " 100%" with single blanks between make 64. A wrapped line would break the count of
// lines to go up.
constexpr std::size_t kMaxAddressWidth = 15;
constexpr std::size_t kStageWidth = 10;  // "restarting"
constexpr int kBoardBarWidth = 30;
// Three dots rather than U+2026: the Windows console's code page need not be UTF-8.
constexpr const char* kEllipsis = "...";

// Columns as characters: the caller's text is escaped, so UTF-8 at most; a continuation
// byte takes none.
bool IsContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

std::size_t Columns(const std::string& text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) { return !IsContinuation(c); }));
}

std::string FitAddress(const std::string& address) {
  if (Columns(address) <= kMaxAddressWidth) return address;
  const std::size_t keep = kMaxAddressWidth - std::char_traits<char>::length(kEllipsis);
  std::size_t columns = 0;
  std::size_t end = 0;
  while (end < address.size()) {
    if (!IsContinuation(address[end])) {
      if (columns == keep) break;
      ++columns;
    }
    ++end;
  }
  return address.substr(0, end) + kEllipsis;
}

void PadTo(std::string& text, std::size_t columns) {
  const std::size_t have = Columns(text);
  if (have < columns) text.append(columns - have, ' ');
}

std::string MinutesSeconds(std::uint64_t seconds) {
  const std::uint64_t s = seconds % 60;
  return std::to_string(seconds / 60) + (s < 10 ? ":0" : ":") + std::to_string(s);
}

// A unit's share of the run's work done, out of kUnitShare: its bar, which covers its
// stages as the window's does (with both images the Main stage is the first half). A
// finished unit, however it ended, is done.
constexpr std::uint64_t kUnitShare = 200;

std::uint64_t UnitDone(UnitStage stage, int percent) {
  switch (stage) {
    case UnitStage::Waiting:
    case UnitStage::Main:
    case UnitStage::Restarting:
    case UnitStage::Sub: return static_cast<std::uint64_t>(percent) * kUnitShare / 100;
    case UnitStage::Burning:
    case UnitStage::Done:
    case UnitStage::Failed:
    case UnitStage::Skipped: return kUnitShare;
  }
  return 0;
}

}  // namespace

const char* UnitStageName(UnitStage stage) {
  switch (stage) {
    case UnitStage::Waiting: return "waiting";
    case UnitStage::Main: return "Main";
    case UnitStage::Restarting: return "restarting";
    case UnitStage::Sub: return "Sub";
    case UnitStage::Burning: return "burning";
    case UnitStage::Done: return "done";
    case UnitStage::Failed: return "failed";
    case UnitStage::Skipped: return "skipped";
  }
  return "";
}

LiveView::LiveView(std::FILE* out, std::FILE* err, std::vector<std::string> addresses,
                   std::function<std::uint64_t()> nowMs)
    : out_(out), err_(err), nowMs_(std::move(nowMs)), startMs_(nowMs_()) {
  units_.reserve(addresses.size());
  for (const std::string& address : addresses) {
    Unit unit;
    unit.shownAddress = FitAddress(address);
    addressWidth_ = std::max(addressWidth_, Columns(unit.shownAddress));
    units_.push_back(std::move(unit));
  }
  Redraw();
}

void LiveView::SetStage(std::size_t unit, UnitStage stage) {
  if (unit >= units_.size()) return;
  Unit& u = units_[unit];
  u.stage = stage;
  if (!finished_) Redraw();
}

void LiveView::SetProgress(std::size_t unit, int percent) {
  if (unit >= units_.size()) return;
  units_[unit].percent = std::clamp(percent, 0, 100);
  if (!finished_) Redraw();
}

void LiveView::Above(std::FILE* stream, const std::string& line) {
  if (!finished_) Erase();
  // On a terminal both streams meet on one screen: what the board's stream holds goes
  // first, or the line would come out before the erasing.
  if (stream != out_) std::fflush(out_);
  std::fputs(line.c_str(), stream);
  std::fputc('\n', stream);
  // On the board's own stream the line goes out with the board, in one write.
  if (stream != out_ || finished_) std::fflush(stream);
  if (!finished_) Redraw();
}

void LiveView::Tick() {
  if (finished_) return;
  if (ElapsedMs() / 1000 != shownSeconds_) Redraw();
}

void LiveView::Finish() {
  if (finished_) return;
  Redraw();  // the elapsed time at the end
  finished_ = true;
}

std::uint64_t LiveView::ElapsedMs() const {
  const std::uint64_t now = nowMs_();
  return now > startMs_ ? now - startMs_ : 0;
}

std::vector<std::string> LiveView::BoardLines(std::uint64_t elapsedMs) const {
  std::vector<std::string> lines;
  lines.reserve(units_.size() + 1);
  for (const Unit& unit : units_) lines.push_back(UnitLine(unit));
  lines.push_back(SummaryLine(elapsedMs));
  return lines;
}

std::string LiveView::UnitLine(const Unit& unit) const {
  std::string line = unit.shownAddress;
  PadTo(line, addressWidth_);
  line += ' ';
  std::string stage = UnitStageName(unit.stage);
  PadTo(stage, kStageWidth);
  line += stage;
  const auto filled = static_cast<std::size_t>(unit.percent * kBoardBarWidth / 100);
  line += " [";
  line.append(filled, '#');
  line.append(static_cast<std::size_t>(kBoardBarWidth) - filled, ' ');
  std::string percent = std::to_string(unit.percent) + "%";
  line += "] ";
  line.append(4 - percent.size(), ' ');
  line += percent;
  return line;
}

// The time left as the time taken so far for the share done, spread over the share still
// to do: linear in the units' progress. Finished units count as wholly done.
std::string LiveView::SummaryLine(std::uint64_t elapsedMs) const {
  std::uint64_t done = 0;
  for (const Unit& unit : units_) done += UnitDone(unit.stage, unit.percent);
  const std::uint64_t total = kUnitShare * units_.size();
  std::string line = "elapsed " + MinutesSeconds(elapsedMs / 1000) + "  left ";
  if (done == 0) {
    line += "--:--";
  } else {
    const std::uint64_t leftMs = elapsedMs * (total - done) / done;
    line += "~" + MinutesSeconds((leftMs + 500) / 1000);
  }
  return line;
}

void LiveView::Redraw() {
  const std::uint64_t elapsedMs = ElapsedMs();
  shownSeconds_ = elapsedMs / 1000;
  const std::vector<std::string> lines = BoardLines(elapsedMs);
  std::size_t first = 0;
  if (!shown_.empty()) {
    while (first < lines.size() && lines[first] == shown_[first]) ++first;
    if (first == lines.size()) return;
  }
  // Whatever the other stream holds is on screen before the board is drawn below it.
  if (err_ != out_) std::fflush(err_);
  std::string text;
  if (!shown_.empty()) text += "\033[" + std::to_string(lines.size() - first) + "A";
  for (std::size_t i = first; i < lines.size(); ++i) {
    // A line unchanged is stepped over: no write lands in it.
    if (shown_.empty() || lines[i] != shown_[i]) text += "\r\033[K" + lines[i];
    text += '\n';
  }
  std::fputs(text.c_str(), out_);
  std::fflush(out_);
  shown_ = lines;
}

// From the line below the board up to its first line, each erased on the way: a long
// line written above may wrap, and must find no old board line to land in.
void LiveView::Erase() {
  if (shown_.empty()) return;
  std::string text = "\r";
  for (std::size_t i = 0; i < shown_.size(); ++i) text += "\033[1A\033[K";
  std::fputs(text.c_str(), out_);
  shown_.clear();
}

}  // namespace tessaly::cli
