#pragma once

// The RPC methods that drive the engine, as one object the host builds with what they use: the
// engine, the window the engine is created with, and a way to run work on the main thread. Each
// method runs on the request server's thread, takes the request payload and returns the result
// text. Every engine call goes through the engine's lock, so none overlaps the main thread's
// teardown and none reaches an unloaded library. The object must outlive the server that calls
// it.

#include <functional>
#include <string>

namespace LarkEngine {

class Engine;

class EngineMethods {
 public:
  // Runs the task on the main thread and returns its result text (or an "error:" text when the
  // task could not be run there).
  using MainThreadRunner = std::function<std::string(std::function<std::string()>)>;

  EngineMethods(Engine& engine, void* mainWindow, MainThreadRunner runOnMainThread);
  EngineMethods(const EngineMethods&) = delete;
  EngineMethods& operator=(const EngineMethods&) = delete;

  // "LarkInfo": creates the engine instance on the main thread from the JSON session data,
  // hands it the session strings and registers the callbacks. An instance already there is
  // deleted right before CREATE; a payload refused before that leaves it alone.
  std::string LarkInfo(const std::string& payload);
  // "Start": throws std::invalid_argument("invalid stoi argument") or
  // std::out_of_range("stoi argument out of range") for a payload that is no 32-bit number.
  std::string Start(const std::string& payload);
  std::string OpenUrl(const std::string& payload);
  std::string EnableControl(const std::string& payload);
  std::string EnableCef(const std::string& payload);
  std::string End(const std::string& payload);
  std::string IsRun(const std::string& payload);

 private:
  // The main thread's part of "LarkInfo".
  std::string CreateEngine(const std::string& payload);

  Engine& engine_;
  void* const mainWindow_;
  const MainThreadRunner runOnMainThread_;
};

}  // namespace LarkEngine
