#pragma once
// An io_context with a thread of its own that runs it until destruction.

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include <thread>

namespace tessaly {

class IoThread {
 public:
  IoThread() : work_(asio::make_work_guard(io_)), thread_([this] { io_.run(); }) {}
  // Handlers not yet run are destroyed with the context, never called.
  ~IoThread() { Stop(); }
  IoThread(const IoThread&) = delete;
  IoThread& operator=(const IoThread&) = delete;

  asio::io_context& context() { return io_; }

  // Idempotent; after it no handler runs and the objects made on context() may go.
  void Stop() {
    work_.reset();
    io_.stop();
    if (thread_.joinable()) thread_.join();
  }

 private:
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::thread thread_;
};

}  // namespace tessaly
