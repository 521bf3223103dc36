#pragma once
// Records an update's events as lines, in order, and plays scripted answers.

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "session/update_events.h"

namespace tessaly::testing {

class RecordingEvents final : public UpdateEvents {
 public:
  void LogLine(const std::string& text, LogLevel level) override {
    events.push_back((level == LogLevel::Error ? "error: " : "info: ") + text);
  }
  void ProgressShown(int percent) override { events.push_back("progress " + std::to_string(percent)); }
  void SessionBegan() override { events.push_back("began"); }
  void SessionEnded() override { events.push_back("session ended"); }
  void StageResult(FirmwareStage stage, bool succeeded) override {
    events.push_back(std::string(stage == FirmwareStage::Main ? "Main " : "Sub ") +
                     (succeeded ? "succeeded" : "failed"));
  }
  // Answers with the next scripted answer through `answer` (the core's AnswerQuestion),
  // or leaves the question open when none is scripted.
  void QuestionAsked(Question, const std::string& text) override {
    events.push_back("asked: " + text);
    if (answers.empty() || !answer) return;
    const Answer a = answers.front();
    answers.pop_front();
    answer(a);
  }
  void UpdateEnded(UpdateOutcome outcome) override {
    events.push_back(outcome == UpdateOutcome::Succeeded ? "end: succeeded"
                     : outcome == UpdateOutcome::Aborted ? "end: aborted"
                                                         : "end: failed");
  }

  void StepBegan(UpdateStep step) override {
    static constexpr const char* kNames[] = {"Main", "restarting", "Sub", "burning"};
    steps.push_back(kNames[static_cast<int>(step)]);
  }

  std::vector<std::string> events;
  std::vector<std::string> steps;  // apart: the steps' place among the lines is not theirs to fix
  std::deque<Answer> answers;
  std::function<void(Answer)> answer;
};

}  // namespace tessaly::testing
