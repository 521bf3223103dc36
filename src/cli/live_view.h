#pragma once
// The live board of a fleet on a terminal: one line a unit (address, stage, bar and
// percentage) and one with the time since the view was made and an estimate of the time left,
// redrawn in place. Lines of the run are written above it: the board is erased, the line
// written, the board drawn again below it, so that no line ever lands in a bar.
//
// The cursor rests at the start of the line below the board. One thread only: the front
// end's.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace tessaly::cli {

enum class UnitStage { Waiting, Main, Restarting, Sub, Burning, Done, Failed, Skipped };

// "waiting", "Main", "restarting", "Sub", "burning", "done", "failed", "skipped".
const char* UnitStageName(UnitStage stage);

class LiveView {
 public:
  // `out`: the terminal (standard output); `err`: standard error, which may be the same
  // terminal; `nowMs`: a clock (tests pass their own). The board is drawn at once; the
  // cursor is taken to be at the start of a line.
  LiveView(std::FILE* out, std::FILE* err, std::vector<std::string> addresses, std::function<std::uint64_t()> nowMs);
  LiveView(const LiveView&) = delete;
  LiveView& operator=(const LiveView&) = delete;

  void SetStage(std::size_t unit, UnitStage stage);  // unit: 0-based index
  void SetProgress(std::size_t unit, int percent);   // the unit's bar, 0..100
  // A whole line above the board, on `stream` (out or err); the text is written as given,
  // followed by a newline (the caller has already escaped controls and added colour/prefix).
  void Above(std::FILE* stream, const std::string& line);
  void Tick();    // redraws if the shown elapsed time (whole seconds) changed
  void Finish();  // the final board stays on screen, cursor below it; no redraw after

 private:
  struct Unit {
    std::string shownAddress;  // truncated to fit
    UnitStage stage = UnitStage::Waiting;
    int percent = 0;  // its bar: the whole update, as the window's bar shows it
  };

  std::uint64_t ElapsedMs() const;  // since the view was made
  std::vector<std::string> BoardLines(std::uint64_t elapsedMs) const;
  std::string UnitLine(const Unit& unit) const;
  std::string SummaryLine(std::uint64_t elapsedMs) const;
  // Writes the lines that differ from those on screen; the whole board when none is.
  void Redraw();
  void Erase();

  std::FILE* out_;
  std::FILE* err_;
  std::function<std::uint64_t()> nowMs_;
  std::uint64_t startMs_;
  std::vector<Unit> units_;
  std::size_t addressWidth_ = 0;
  std::vector<std::string> shown_;  // the board's lines as on screen; empty while erased
  std::uint64_t shownSeconds_ = 0;
  bool finished_ = false;
};

}  // namespace tessaly::cli
