#pragma once

// What end-to-end tests of a real host share: waiting for files to say something, the host's
// notifications and reverse calls as a parent sees them, a call made in the background.

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "parent/host_connection.h"
#include "protocol/lark_protocol.h"
#include "rpc/wire.h"

namespace lark::test {

using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

// The running host's main window; null when there is none.
inline HWND HostWindow() {
  return FindWindowW(LarkProtocol::kMainWindowClass, LarkProtocol::kMainWindowTitle);
}

// Whether `expected` occurs in `lines` in this order, other lines between them allowed.
inline bool InOrder(const Lines& lines, const Lines& expected) {
  auto at = lines.begin();
  for (const std::string& line : expected) {
    at = std::find(at, lines.end(), line);
    if (at == lines.end()) return false;
    ++at;
  }
  return true;
}

// Files change without notice: look again every 20 ms until the check holds or the limit passes.
inline bool Eventually(const std::function<bool()>& check, std::chrono::seconds limit = 30s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!check()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// The names of the engine's calls, without what a pump or an action recorded beside them.
inline Lines CallNames(const Lines& calls) {
  Lines names;
  for (const std::string& call : calls) {
    const std::string name = call.substr(0, call.find('\t'));
    if (name != "PUMPED" && name != "FIRED") names.push_back(name);
  }
  return names;
}

// "LarkInfo" on a thread of its own; the future holds the answer's body, or "no answer".
inline std::future<std::string> LarkInfoInBackground(LarkParent::HostConnection& parent) {
  return std::async(std::launch::async, [&parent] {
    const std::optional<LarkParent::CallResult> result =
        parent.Call(LarkProtocol::kLarkInfoMethod, R"({"hWnd":"1"})");
    return result ? result->body : "no answer";
  });
}

// What a host sent its parent, collected on the connection's threads.
struct Inbox {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::pair<std::chrono::steady_clock::time_point, AnonRpc::Notification>> notes;
  Lines reverseCalls;

  // The answers a parent of the real host gives: a token, and any answer to "CefControl".
  static std::map<std::string, LarkParent::CallResult> HostAnswers(std::string token = "tok-123") {
    return {{LarkProtocol::kGetJwtMethod, {0, std::move(token)}},
            {LarkProtocol::kCefControlMethod, {0, "ignored"}}};
  }

  // Records every notification and every call to a method of `answers` (as "method payload",
  // or the method alone for an empty payload), answering each as given; then starts the
  // connection.
  void Attach(LarkParent::HostConnection& connection,
              std::map<std::string, LarkParent::CallResult> answers = HostAnswers()) {
    connection.OnNotification([this](const AnonRpc::Notification& note) {
      std::lock_guard lock(mutex);
      notes.emplace_back(std::chrono::steady_clock::now(), note);
      changed.notify_all();
    });
    for (auto& [method, answer] : answers) {
      connection.Serve(method,
                       [this, method = method, answer = answer](const std::string& payload) {
                         Add(payload.empty() ? method : method + " " + payload);
                         return answer;
                       });
    }
    connection.Start();
  }
  void Add(std::string call) {
    std::lock_guard lock(mutex);
    reverseCalls.push_back(std::move(call));
    changed.notify_all();
  }
  bool WaitUntil(const std::function<bool()>& done, std::chrono::seconds limit = 30s) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, limit, done);
  }
  bool WaitForNote(const std::string& type) {
    return WaitUntil([&] {
      for (const auto& [when, note] : notes)
        if (note.type == type) return true;
      return false;
    });
  }
  // The notifications other than heartbeats, as "type payload".
  Lines Events() {
    std::lock_guard lock(mutex);
    Lines events;
    for (const auto& [when, note] : notes)
      if (note.type != "2") events.push_back(note.type + " " + note.payload);
    return events;
  }
};

}  // namespace lark::test
