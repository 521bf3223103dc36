#pragma once
// What an update tells the front end that runs it: the window maps these onto its
// controls, the command line prints them, tests record them. Every call comes on the
// front end's thread, in the order things happened.

#include <cstdint>
#include <string>

namespace tessaly {

enum class LogLevel { Info, Error };  // blue and red lines

// The operator's answer to a question. Closed: the question was put away unanswered.
enum class Answer { Yes, No, Closed };

enum class FirmwareStage : std::uint8_t { Main = 1, Sub = 2 };

enum class UpdateOutcome { Succeeded, Failed, Aborted };

// What a question asks before it acts: an Abort, or closing the program, while firmware
// is being written.
enum class Question { Abort, Close };

// The parts of an update, as a front end that shows where it stands names them.
enum class UpdateStep { Main, Restarting, Sub, Burning };

class UpdateEvents {
 public:
  virtual ~UpdateEvents() = default;

  virtual void LogLine(const std::string& text, LogLevel level) = 0;
  // The value the bar shows, 0 to 100; given when it changes.
  virtual void ProgressShown(int percent) = 0;
  // An update was accepted: the front end is busy until SessionEnded.
  virtual void SessionBegan() = 0;
  // The update is over for the operator (it may come more than once); a stage that is
  // still finishing may add lines, and a new update waits for UpdateEnded.
  virtual void SessionEnded() = 0;
  // A stage reported its end: succeeded, or failed with its lines logged.
  virtual void StageResult(FirmwareStage stage, bool succeeded) = 0;
  // A question for the operator: the core waits for UpdateCore::Answer, and no stage
  // begins until it comes; only Yes acts. It may be answered from inside this call.
  virtual void QuestionAsked(Question which, const std::string& text) = 0;
  // The session has ended and its last stage is over: a new update may start.
  virtual void UpdateEnded(UpdateOutcome outcome) = 0;
  // The projector's model kind, as the control exchange learned it (session/sub_fw_info.h).
  virtual void ModelLearned(std::uint8_t /*modelKind*/) {}
  // Firmware is being written into the projector, or no longer: an Abort must ask first,
  // and the PC must not sleep.
  virtual void FirmwareBeingWritten(bool /*writing*/) {}
  // A part of the update began: the Main stage, the restart wait after it (the Main
  // stage's sockets are closed by then), the Sub stage, the projector's burn of what it
  // received.
  virtual void StepBegan(UpdateStep /*step*/) {}
};

}  // namespace tessaly
