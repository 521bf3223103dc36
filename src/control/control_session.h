#pragma once
// The control connection to the projector: opening it, its notifications, the connect
// and switch time-outs, and the read handler that answers the download-mode exchange.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/tcp_client.h"
#include "platform/update_loop.h"
#include "platform/view_timer.h"
#include "session/sub_fw_info.h"
#include "session/update_session.h"

namespace tessaly {

class ControlSession final : public TcpClientEvents {
 public:
  struct Stages {
    std::function<void()> startMainStage;
    std::function<void()> startSubStage;
    // Binds the Main stage's ports on the connection's local address; false, with its
    // lines logged, when they cannot be had. Empty: nothing to bind ahead.
    std::function<bool()> prepareMainFirmware;
  };

  // Runs on `loop`: the client's notifications must come there, and ConnectTimer fires
  // there. Every member below is for the loop's thread unless it says otherwise.
  ControlSession(UpdateSession& session, UpdateLoop& loop, TcpClient& client, const SubFwInfo& subInfo,
                 Stages stages);
  ~ControlSession() override;

  // Opens the connection to `addressText` on `port`; the outcome arrives as notifications.
  // False, with an error line, when the text is not a dotted IPv4 address.
  bool OpenControlConnection(const std::string& addressText, std::uint16_t port);
  // The line for an address text that the connection cannot take.
  void RefuseAddress(const std::string& addressText);
  // The Main stage has finished with the connection: from the download-mode
  // acknowledgement until here its end belonged to the Main stage.
  void MainStageEnded() { mainStageOwnsEnd_.store(false); }
  // Reconnects to PjIpText for the Sub firmware stage (on WM_SUBFW_CONNECT).
  void ConnectBtnClick();
  // Every close of ours goes through here. It stops ConnectTimer first, so that our own
  // close is never taken for the projector's. Any thread.
  void CloseConnection();

  void ClientSocketConnecting() override;
  void ClientSocketConnect() override;
  void ClientSocketDisconnect() override;
  void ClientSocketRead() override;
  void ClientSocketError(int& errorCode) override;
  void ConnectTimerExpired();

  ViewTimer& ConnectTimer() { return *timer_; }
  TcpClient& client() { return client_; }
  std::uint8_t PjModelKind() const { return pjModelKind_.load(); }

 private:
  void Send(const std::uint8_t* data, std::size_t length);

  UpdateSession& session_;
  UpdateState& state_;
  MessageLog& log_;
  TcpClient& client_;
  std::string addressText_;  // as the connection was opened to, for its lines
  const SubFwInfo& subInfo_;
  Stages stages_;
  std::unique_ptr<ViewTimer> timer_;
  std::atomic<std::uint8_t> pjModelKind_{kModelUnknown};
  // Which phase ConnectTimer times; kept beside the interval so that equal test
  // settings cannot confuse the two.
  std::atomic<bool> switching_{false};
  // After the Main download-mode acknowledgement the projector restarts into its boot
  // loader, and its old connection ends by a close or a reset: that ends nothing, the
  // Main stage owns the end of the session.
  std::atomic<bool> mainStageOwnsEnd_{false};
  // How far this connection's exchange has come. A reply is acted on only in its turn:
  // an "sc" before the model was checked, or a "UD" acknowledgement that no command of
  // this connection asked for, starts nothing.
  enum class Step { Connected, MainCommandSent, ModelQueried, SubCommandSent, AwaitingSq, AwaitingSc, HandedOver };
  Step step_ = Step::Connected;
};

}  // namespace tessaly
