#include "control/control_session.h"

#include <arpa/inet.h>

#include "control/frames.h"

namespace tessaly {

ControlSession::ControlSession(UpdateSession& session, UpdateLoop& loop, TcpClient& client, const SubFwInfo& subInfo,
                               Stages stages)
    : session_(session),
      state_(session.state()),
      log_(session.log()),
      client_(client),
      subInfo_(subInfo),
      stages_(std::move(stages)),
      timer_(std::make_unique<ViewTimer>(loop, loop, [this] { ConnectTimerExpired(); })) {
  client_.SetEvents(this);
}

ControlSession::~ControlSession() {
  timer_.reset();  // no firing may reach a half-destroyed session
  client_.SetEvents(nullptr);
}

bool ControlSession::OpenControlConnection(const std::string& addressText, std::uint16_t port) {
  mainStageOwnsEnd_.store(false);
  step_ = Step::Connected;
  addressText_ = addressText;
  client_.SetPort(port);
  client_.SetAddress(addressText);
  if (!client_.Open()) {
    RefuseAddress(addressText);
    return false;
  }
  return true;
}

void ControlSession::RefuseAddress(const std::string& addressText) {
  log_.LogError("Projector IP address \"%s\" is not a dotted IPv4 address", addressText.c_str());
}

void ControlSession::ConnectBtnClick() {
  if (!OpenControlConnection(state_.PjIpText, session_.settings().controlPort)) {
    // Reached only on the way to the Sub stage, with a session running: end it.
    session_.EndSession();
  }
}

void ControlSession::CloseConnection() {
  timer_->SetEnabled(false);
  client_.Close();
}

void ControlSession::ClientSocketConnecting() {
  if (state_.UpdateStage.load() == 0) {
    log_.LogInfo("Try connecting to \"%s\"...", addressText_.c_str());
  }
  switching_.store(false);
  timer_->SetInterval(session_.settings().connectTimeoutMs);
  timer_->SetEnabled(true);
}

void ControlSession::ClientSocketConnect() {
  if (state_.UpdateStage.load() == 0) log_.LogInfo("Connected to projector has succeeded.");
  // The interface that carries the connection is the one facing the projector: the
  // boot loader is served on it.
  state_.PcIpAddr.store(::inet_addr(client_.LocalAddress().c_str()));
  timer_->SetEnabled(false);
  // The boot loader's ports are bound before the projector is switched: a port that
  // cannot be had fails the update while the projector is still as it was.
  if ((state_.FirmwareSelection.load() & MainFw) && state_.UpdateStage.load() == 0 && stages_.prepareMainFirmware &&
      !stages_.prepareMainFirmware()) {
    session_.EndSession();
    return;
  }
  switching_.store(true);
  timer_->SetInterval(session_.settings().switchTimeoutMs);
  timer_->SetEnabled(true);
}

void ControlSession::ClientSocketDisconnect() {
  if (mainStageOwnsEnd_.load()) return;
  if (timer_->Enabled()) {
    // The projector went away while connecting or switching: without this the window
    // would wait in its update state for an answer that cannot come.
    timer_->SetEnabled(false);
    log_.LogError("Connection closed by projector");
    session_.EndSession();
    return;
  }
  timer_->SetEnabled(false);
}

void ControlSession::ClientSocketError(int& errorCode) {
  if (mainStageOwnsEnd_.load()) {
    client_.Close();  // the projector reset it on its way into the boot loader
    errorCode = 0;
    return;
  }
  if (timer_->Enabled()) log_.LogError("Please check the network connection");
  session_.EndSession();
  errorCode = 0;
}

void ControlSession::ConnectTimerExpired() {
  const bool switching = switching_.load();
  CloseConnection();
  if (!switching) {
    log_.LogError("Connecting to PJ timeout....");
    log_.LogError("Please check PJ in \"LAN\" mode, and accepted \"Cedia\" cmd");
  } else {
    log_.LogError("Switched projector into download mode failed");
    log_.LogError("Please check PJ in \"Standby\" mode, and accepted \"Cedia\" cmd");
  }
  session_.RequestStop();
  session_.EndSession();
}

void ControlSession::Send(const std::uint8_t* data, std::size_t length) {
  client_.SendBuf(data, static_cast<int>(length));
}

void ControlSession::ClientSocketRead() {
  if (state_.ReadsSuspended.load() != 0) return;  // the Sub stage reads the connection itself
  std::uint8_t buffer[kControlReadMax + 1] = {};
  const int got = client_.ReceiveBuf(buffer, static_cast<int>(kControlReadMax));
  if (got <= 0) return;
  const auto length = static_cast<std::size_t>(got);
  buffer[length] = 0;

  const std::uint8_t selection = state_.FirmwareSelection.load();
  switch (ClassifyControlRead(buffer, length)) {
    case ControlRead::Greeting: client_.SendText(std::string(kSessionRequest)); break;
    case ControlRead::SessionAck:
      if (step_ == Step::Connected) {
        if ((selection & MainFw) && state_.UpdateStage.load() == 0) {
          state_.UpdateStage.store(1);
          step_ = Step::MainCommandSent;
          Send(kMainDownloadCommand.data(), kMainDownloadCommand.size());
        } else if (selection & SubFw) {
          state_.UpdateStage.store(2);
          step_ = Step::ModelQueried;
          Send(kModelQuery.data(), kModelQuery.size());
        }
      } else if (step_ == Step::ModelQueried) {
        Send(kModelQuery.data(), kModelQuery.size());  // asked again, as before
      }
      break;
    case ControlRead::UdAck:
      if (step_ == Step::MainCommandSent && state_.UpdateStage.load() == 1) {
        // A repeated acknowledgement starts nothing more: one Main stage per connection.
        if (mainStageOwnsEnd_.exchange(true)) break;
        step_ = Step::HandedOver;
        timer_->SetEnabled(false);
        if (stages_.startMainStage) stages_.startMainStage();
      } else if (step_ == Step::SubCommandSent && state_.UpdateStage.load() == 2) {
        step_ = Step::AwaitingSq;
        Send(kSqRecord.data(), kSqRecord.size());
      }
      break;
    case ControlRead::ModelAnswer: {
      if (step_ != Step::ModelQueried) break;  // no question of this connection's asked for it
      const std::uint8_t letter = buffer[kModelLetterOffset];
      if (letter == 'A') {
        pjModelKind_.store(kModelQMA);
        log_.LogInfo("Model Name: QMA");
      } else if (letter == 'B') {
        pjModelKind_.store(kModelQMB);
        log_.LogInfo("Model Name: QMB");
      } else {
        pjModelKind_.store(kModelUnknown);
      }
      const std::uint8_t model = pjModelKind_.load();
      session_.ui().Run([model](UpdateEvents& events) { events.ModelLearned(model); });
      if (model == kModelUnknown || model != subInfo_.ModelKind) {
        step_ = Step::HandedOver;
        log_.LogError("This Sub firmware model doesn't match to QRN model");
        session_.EndSession();
      } else {
        step_ = Step::SubCommandSent;
        Send(kSubDownloadCommand.data(), kSubDownloadCommand.size());
      }
      break;
    }
    case ControlRead::SqReply:
      if (step_ != Step::AwaitingSq) break;
      step_ = Step::AwaitingSc;
      Send(kScRecord.data(), kScRecord.size());
      break;
    case ControlRead::ScReply:
      if (step_ != Step::AwaitingSc) break;
      step_ = Step::HandedOver;
      timer_->SetEnabled(false);
      state_.ReadsSuspended.store(1);
      state_.UpdateInProgress.store(1);
      // An Abort question open now is answered before the first byte of the Sub firmware.
      session_.BeginStageWhenAnswered([this] {
        if (state_.StopRequested.load() != 0 || state_.SessionRunning.load() == 0) return;
        log_.LogInfo("Startup Sub firmware update process...");
        if (stages_.startSubStage) stages_.startSubStage();
      });
      break;
    case ControlRead::Other: break;
  }
}

}  // namespace tessaly
