// The fleet's live board: the exact bytes it sends, and what a terminal of 80 columns
// shows after them.

#include "cli/live_view.h"
#include "cli/terminal_front_end.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "support/temp_dir.h"

namespace tessaly::testing {
namespace {

using cli::LiveView;
using cli::UnitStage;
using Rows = std::vector<std::string>;

const std::string kUp1 = "\033[1A";
const std::string kErase = "\033[K";

// The board of two units at the start: the widest address sets the column.
const std::string kLine0 = "10.0.0.5        waiting    [                              ]   0%";
const std::string kLine1 = "192.168.100.200 waiting    [                              ]   0%";
const std::string kSummary0 = "elapsed 0:00  left --:--";
const std::string kBoard0 = "\r\033[K" + kLine0 + "\n\r\033[K" + kLine1 + "\n\r\033[K" + kSummary0 + "\n";

// What the view's streams have flushed, as a terminal gets it: each stream appends to one
// file, read back without flushing, so that bytes left in a buffer are not seen.
class Tty {
 public:
  Tty() : path_(dir_.File("tty")) {
    out_ = std::fopen(path_.c_str(), "a");
    std::setvbuf(out_, nullptr, _IOFBF, 4096);  // as standard output to a file: all held back
  }
  ~Tty() {
    std::fclose(out_);
    if (err_) std::fclose(err_);
  }
  std::FILE* out() const { return out_; }
  // Standard error as it is: unbuffered.
  std::FILE* err() {
    if (!err_) {
      err_ = std::fopen(path_.c_str(), "a");
      std::setvbuf(err_, nullptr, _IONBF, 0);
    }
    return err_;
  }
  std::string All() const {
    std::ifstream f(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
  // The bytes flushed since the last call.
  std::string New() {
    std::string all = All();
    std::string fresh = all.substr(seen_);
    seen_ = all.size();
    return fresh;
  }

 private:
  TempDir dir_;
  std::string path_;
  std::FILE* out_ = nullptr;
  std::FILE* err_ = nullptr;
  std::size_t seen_ = 0;
};

// A terminal of `width` columns that wraps at the margin, knowing only the sequences the
// board may use: any other fails the test. A cell holds one UTF-8 character.
class Screen {
 public:
  explicit Screen(const std::string& bytes, std::size_t width = 80) : width_(width) { Feed(bytes); }
  // Every row down to the cursor's.
  Rows Text() const {
    Rows rows;
    for (std::size_t r = 0; r <= std::max(row_, cells_.empty() ? 0 : cells_.size() - 1); ++r) {
      std::string text;
      if (r < cells_.size()) {
        for (const std::string& cell : cells_[r]) text += cell;
      }
      rows.push_back(text);
    }
    return rows;
  }
  // At the start of an empty last row: the next write begins a line of its own.
  bool AtRest() const {
    const Rows rows = Text();
    return col_ == 0 && row_ == rows.size() - 1 && rows.back().empty();
  }

 private:
  void Feed(const std::string& bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      const char c = bytes[i];
      if (c == '\r') {
        col_ = 0;
      } else if (c == '\n') {
        ++row_;
        col_ = 0;
      } else if (c == '\033') {
        std::size_t j = i + 1;
        ASSERT_LT(j, bytes.size());
        ASSERT_EQ(bytes[j], '[') << "at byte " << i;
        std::string digits;
        while (++j < bytes.size() && bytes[j] >= '0' && bytes[j] <= '9') digits += bytes[j];
        ASSERT_LT(j, bytes.size());
        if (bytes[j] == 'A') {
          const std::size_t n = digits.empty() ? 1 : std::stoul(digits);
          ASSERT_LE(n, row_) << "cursor up past the top, at byte " << i;
          row_ -= n;
        } else if (bytes[j] == 'K' && digits.empty()) {
          Row().resize(std::min(Row().size(), col_));
        } else {
          FAIL() << "unexpected sequence at byte " << i;
        }
        i = j;
      } else if ((static_cast<unsigned char>(c) & 0xC0) == 0x80) {
        ASSERT_GT(col_, 0u);
        Row()[col_ - 1] += c;
      } else {
        ASSERT_GE(static_cast<unsigned char>(c), 0x20) << "control at byte " << i;
        if (col_ == width_) {
          ++row_;
          col_ = 0;
        }
        if (Row().size() <= col_) Row().resize(col_ + 1, " ");
        Row()[col_++] = std::string(1, c);
      }
    }
  }
  std::vector<std::string>& Row() {
    if (cells_.size() <= row_) cells_.resize(row_ + 1);
    return cells_[row_];
  }
  std::size_t width_;
  std::size_t row_ = 0;
  std::size_t col_ = 0;
  std::vector<std::vector<std::string>> cells_;
};

struct Clock {
  std::uint64_t ms = 0;
  std::function<std::uint64_t()> Fn() {
    return [this] { return ms; };
  }
};

TEST(LiveView, StageNames) {
  const std::vector<std::pair<UnitStage, std::string>> names = {
      {UnitStage::Waiting, "waiting"}, {UnitStage::Main, "Main"},       {UnitStage::Restarting, "restarting"},
      {UnitStage::Sub, "Sub"},         {UnitStage::Burning, "burning"}, {UnitStage::Done, "done"},
      {UnitStage::Failed, "failed"},   {UnitStage::Skipped, "skipped"}};
  for (const auto& [stage, name] : names) EXPECT_EQ(cli::UnitStageName(stage), name);
}

TEST(LiveView, DrawsTheBoardAtOnceAndRedrawsOnlyTheChangedLines) {
  Tty tty;
  Clock clock;
  LiveView view(tty.out(), tty.out(), {"10.0.0.5", "192.168.100.200"}, clock.Fn());
  EXPECT_EQ(tty.New(), kBoard0);

  // Up to the unit's line; the summary, the same, is stepped over.
  view.SetStage(1, UnitStage::Sub);
  const std::string sub0 = "192.168.100.200 Sub        [                              ]   0%";
  EXPECT_EQ(tty.New(), "\033[2A\r\033[K" + sub0 + "\n\n");
  view.SetStage(0, UnitStage::Main);
  const std::string main0 = "10.0.0.5        Main       [                              ]   0%";
  EXPECT_EQ(tty.New(), "\033[3A\r\033[K" + main0 + "\n\n\n");
  view.SetStage(0, UnitStage::Main);
  view.SetProgress(1, 0);
  EXPECT_EQ(tty.New(), "");

  // Progress changes the estimate too.
  clock.ms = 30'000;
  view.SetProgress(1, 50);
  const std::string sub50 = "192.168.100.200 Sub        [###############               ]  50%";
  // Sub without Main: half of that unit, a quarter of the run, in 30 s.
  EXPECT_EQ(tty.New(), "\033[2A\r\033[K" + sub50 + "\n\r\033[Kelapsed 0:30  left ~1:30\n");

  const Screen screen(tty.All());
  EXPECT_EQ(screen.Text(), (Rows{main0, sub50, "elapsed 0:30  left ~1:30", ""}));
  EXPECT_TRUE(screen.AtRest());
}

TEST(LiveView, FullBarFitsEightyColumns) {
  Tty tty;
  Clock clock;
  LiveView view(tty.out(), tty.out(), {"192.168.100.200"}, clock.Fn());
  clock.ms = 12'000;
  view.SetStage(0, UnitStage::Restarting);
  view.SetProgress(0, 100);
  view.SetProgress(0, 150);  // held at 100
  view.SetProgress(0, -5);
  view.SetProgress(0, 100);
  const Screen screen(tty.All());
  EXPECT_EQ(screen.Text(),
            (Rows{"192.168.100.200 restarting [##############################] 100%", "elapsed 0:12  left ~0:00", ""}));
}

// A line above the board: erased from below, up as many lines as were drawn, then the
// line, then the board again.
TEST(LiveView, LineAboveTheBoardOnTheSameStream) {
  Tty tty;
  Clock clock;
  LiveView view(tty.out(), tty.out(), {"10.0.0.5", "192.168.100.200"}, clock.Fn());
  tty.New();
  view.Above(tty.out(), "[10.0.0.5] Connected");
  EXPECT_EQ(tty.New(), "\r" + kUp1 + kErase + kUp1 + kErase + kUp1 + kErase + "[10.0.0.5] Connected\n" + kBoard0);
  view.Above(tty.out(), "[10.0.0.5] Switched");
  const Screen screen(tty.All());
  EXPECT_EQ(screen.Text(), (Rows{"[10.0.0.5] Connected", "[10.0.0.5] Switched", kLine0, kLine1, kSummary0, ""}));
  EXPECT_TRUE(screen.AtRest());
}

// Standard error on the same terminal, unbuffered, while standard output holds its bytes
// until flushed: the erasing must reach the screen before the line does.
TEST(LiveView, LineOnStandardErrorBetweenErasingAndRedrawing) {
  Tty tty;
  Clock clock;
  LiveView view(tty.out(), tty.err(), {"10.0.0.5", "192.168.100.200"}, clock.Fn());
  clock.ms = 5'000;
  view.SetStage(0, UnitStage::Main);
  view.SetProgress(0, 10);
  view.Above(tty.err(), "note: a read request from 10.0.0.9 ignored");
  view.SetProgress(0, 20);
  view.Above(tty.out(), "[10.0.0.5] Sending");
  const Screen screen(tty.All());
  EXPECT_EQ(screen.Text(), (Rows{"note: a read request from 10.0.0.9 ignored", "[10.0.0.5] Sending",
                                 "10.0.0.5        Main       [######                        ]  20%", kLine1,
                                 "elapsed 0:05  left ~0:45", ""}));
  EXPECT_TRUE(screen.AtRest());
}

// A line wider than the terminal wraps into the next row: that row must hold no rest of
// an old board line.
TEST(LiveView, WrappedLineAboveLeavesNoBarFragment) {
  Tty tty;
  Clock clock;
  LiveView view(tty.out(), tty.out(), {"10.0.0.5", "192.168.100.200"}, clock.Fn());
  const std::string longLine(100, 'x');
  view.Above(tty.out(), longLine);
  const Screen screen(tty.All());
  EXPECT_EQ(screen.Text(), (Rows{std::string(80, 'x'), std::string(20, 'x'), kLine0, kLine1, kSummary0, ""}));
}

TEST(LiveView, TickRedrawsTheSummaryOnEachNewSecond) {
  Tty tty;
  Clock clock;
  LiveView view(tty.out(), tty.out(), {"10.0.0.5"}, clock.Fn());
  tty.New();
  const std::vector<std::pair<std::uint64_t, std::string>> ticks = {
      {999, ""},    {1'000, kUp1 + "\r\033[Kelapsed 0:01  left --:--\n"},
      {1'999, ""},  {61'000, kUp1 + "\r\033[Kelapsed 1:01  left --:--\n"},
      {61'500, ""}, {3'600'000, kUp1 + "\r\033[Kelapsed 60:00  left --:--\n"},
  };
  for (const auto& [ms, bytes] : ticks) {
    clock.ms = ms;
    view.Tick();
    EXPECT_EQ(tty.New(), bytes) << "at " << ms << " ms";
  }
}

// The time left: the time so far spread over the share of the work still to do. Each unit
// counts a Main stage as its first half and the Sub stage after it as the second; a Sub
// stage alone counts whole; finished units are wholly done.
struct EstimateCase {
  std::string name;
  std::vector<std::vector<UnitStage>> stages;  // each unit's stages in turn
  std::vector<int> percents;
  std::uint64_t ms;
  std::string summary;
};

TEST(LiveView, EstimatesTheTimeLeftFromTheUnitsProgress) {
  using S = UnitStage;
  const std::vector<EstimateCase> cases = {
      {"nothing yet", {{}, {S::Main}}, {0, 0}, 60'000, "elapsed 1:00  left --:--"},
      {"half a Main stage", {{S::Main}, {}}, {25, 0}, 60'000, "elapsed 1:00  left ~7:00"},
      {"restarting", {{S::Main, S::Restarting}, {}}, {50, 0}, 60'000, "elapsed 1:00  left ~3:00"},
      {"Sub after Main", {{S::Main, S::Restarting, S::Sub}, {}}, {75, 0}, 60'000, "elapsed 1:00  left ~1:40"},
      {"Sub alone", {{S::Sub}, {}}, {50, 0}, 60'000, "elapsed 1:00  left ~3:00"},
      {"burning", {{S::Sub, S::Burning}, {S::Main}}, {100, 0}, 60'000, "elapsed 1:00  left ~1:00"},
      {"skipped and Sub", {{S::Skipped}, {S::Sub}}, {0, 25}, 60'000, "elapsed 1:00  left ~0:36"},
      {"failed with its bar at 10", {{S::Main, S::Failed}, {S::Main}}, {10, 0}, 60'000, "elapsed 1:00  left ~1:00"},
      {"all finished", {{S::Main, S::Done}, {S::Sub, S::Failed}}, {100, 40}, 90'500, "elapsed 1:30  left ~0:00"},
      // 10 s x 394/6 (3% of a unit is 6 of its 200) = 656.67 s, to the nearest second.
      {"rounded", {{S::Main}, {}}, {3, 0}, 10'000, "elapsed 0:10  left ~10:57"},
  };
  for (const EstimateCase& c : cases) {
    SCOPED_TRACE(c.name);
    Tty tty;
    Clock clock;
    LiveView view(tty.out(), tty.out(), {"10.0.0.5", "10.0.0.6"}, clock.Fn());
    clock.ms = c.ms;
    for (std::size_t unit = 0; unit < c.stages.size(); ++unit) {
      for (UnitStage stage : c.stages[unit]) view.SetStage(unit, stage);
      view.SetProgress(unit, c.percents[unit]);
    }
    view.Tick();
    const Rows rows = Screen(tty.All()).Text();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[2], c.summary);
  }
}

// Addresses longer than 15 characters end in an ellipsis rather than wrap the line.
TEST(LiveView, LongAddressesAreCutToFifteenCharacters) {
  struct Case {
    std::string address;
    std::string shown;
  };
  std::string umlauts;
  for (int i = 0; i < 20; ++i) umlauts += "\xC3\xA4";  // U+00E4, two bytes
  const std::vector<Case> cases = {
      {"192.168.100.200", "192.168.100.200"},
      {"192.168.100.2001", "192.168.100...."},
      {"projector-hall-a.example", "projector-ha..."},
      {umlauts, umlauts.substr(0, 24) + "..."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown);
    Tty tty;
    Clock clock;
    LiveView view(tty.out(), tty.out(), {"10.0.0.5", c.address}, clock.Fn());
    view.SetStage(1, UnitStage::Restarting);
    view.SetProgress(1, 100);
    const Screen screen(tty.All());
    EXPECT_EQ(screen.Text(),
              (Rows{"10.0.0.5        waiting    [                              ]   0%",
                    c.shown + " restarting [##############################] 100%", "elapsed 0:00  left ~0:00", ""}));
  }
}

// The last board stays with its final time, the cursor below it; what comes after is
// written there and the board is not drawn again.
TEST(LiveView, FinishLeavesTheLastBoard) {
  Tty tty;
  Clock clock;
  LiveView view(tty.out(), tty.err(), {"10.0.0.5"}, clock.Fn());
  view.SetStage(0, UnitStage::Sub);
  view.SetProgress(0, 100);
  view.SetStage(0, UnitStage::Done);
  tty.New();
  clock.ms = 2'500;
  view.Finish();
  EXPECT_EQ(tty.New(), kUp1 + "\r\033[Kelapsed 0:02  left ~0:00\n");
  clock.ms = 9'000;
  view.Tick();
  view.SetStage(0, UnitStage::Failed);
  view.SetProgress(0, 3);
  view.Finish();
  EXPECT_EQ(tty.New(), "");
  view.Above(tty.out(), "Summary:");
  EXPECT_EQ(tty.New(), "Summary:\n");
  view.Above(tty.err(), "note");
  EXPECT_EQ(tty.New(), "note\n");
  const Screen screen(tty.All());
  EXPECT_EQ(screen.Text(), (Rows{"10.0.0.5 done       [##############################] 100%",
                                 "elapsed 0:02  left ~0:00", "Summary:", "note", ""}));
}

// One projector on a terminal: its single bar. A note on standard error (the sleep
// inhibitor's warning) and a log line each come on a line of their own, the bar taken away
// first and drawn again below them.
TEST(SingleBar, LinesAndNotesNeverLandInIt) {
  Tty tty;
  asio::io_context io;
  cli::TerminalFrontEnd front(io, tty.out(), true, nullptr, tty.err());
  cli::UnitFrontEnd unit(front, 1, "");
  unit.ProgressShown(1);
  unit.notes().Write("The PC may go to sleep while firmware is written: no system bus");
  front.ProcessEvents();
  unit.LogLine("Burning...... Please waiting.....", LogLevel::Info);
  unit.ProgressShown(2);
  unit.UpdateEnded(UpdateOutcome::Succeeded);
  const std::string bar1 = "[" + std::string(40, ' ') + "] 1%";
  const std::string bar2 = "[" + std::string(40, ' ') + "] 2%";
  EXPECT_EQ(tty.All(), "\r" + bar1 + "\r\033[K" + "The PC may go to sleep while firmware is written: no system bus\n" +
                           "\r" + bar1 + "\r\033[K" + "\033[34mBurning...... Please waiting.....\033[0m\n" + "\r" +
                           bar1 + "\r" + bar2 + "\n");
}

}  // namespace
}  // namespace tessaly::testing
