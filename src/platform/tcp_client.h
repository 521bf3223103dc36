#pragma once
// The asynchronous TCP client of the control connection. Its socket is watched on the
// update loop; its notifications arrive on the thread of a queue of the caller's (the
// update loop itself for the control connection); Send, Receive and Close are safe from
// any thread.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/task_queue.h"
#include "platform/update_loop.h"

namespace tessaly {

class TcpClientEvents {
 public:
  virtual ~TcpClientEvents() = default;
  virtual void ClientSocketConnecting() = 0;  // immediately before the attempt
  virtual void ClientSocketConnect() = 0;     // the connection is made
  virtual void ClientSocketDisconnect() = 0;  // ended, by either side
  virtual void ClientSocketRead() = 0;        // data can be read
  // An error of any kind; set `errorCode` to 0 to mark it handled.
  virtual void ClientSocketError(int& errorCode) = 0;
};

class TcpClient {
 public:
  virtual ~TcpClient() = default;
  virtual void SetEvents(TcpClientEvents* events) = 0;
  virtual void SetPort(std::uint16_t port) = 0;
  virtual void SetAddress(const std::string& dottedIpv4) = 0;  // no name lookup
  // Starts a non-blocking attempt. Returns false when the address text is not a dotted
  // IPv4 address; nothing is notified then.
  virtual bool Open() = 0;
  // Ends the connection; gives the disconnected notification only when a socket was open.
  virtual void Close() = 0;
  virtual bool Active() const = 0;
  // Local address of the connected socket as a dotted text ("" when not connected).
  virtual std::string LocalAddress() const = 0;
  // Results are the bytes handed to the system: fewer than `length`, or 0, when its
  // buffer is full; -1 when the connection is not open or has failed.
  virtual int SendBuf(const void* data, int length) = 0;
  virtual int SendText(const std::string& text) = 0;
  // Bytes read; -1 when nothing is waiting; 0 when not connected (or the peer closed).
  virtual int ReceiveBuf(void* buffer, int length) = 0;
};

// An Asio socket watched on `loop` (the system's loop: CreateUpdateLoop); the notifications
// are posted to `view`. The client goes before the loop is destroyed; the loop may still
// run then, or have stopped.
std::unique_ptr<TcpClient> CreateTcpClient(TaskQueue& view, UpdateLoop& loop);

}  // namespace tessaly
