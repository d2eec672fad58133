#include "support/fake_engine.h"

#include <cstdint>

namespace lark::test {

namespace {

std::string Join(std::initializer_list<std::string> parts) {
  std::string joined;
  for (const std::string& part : parts) joined += (joined.empty() ? "" : " ") + part;
  return joined;
}

std::string Id(const void* instance) {
  return std::to_string(reinterpret_cast<std::uintptr_t>(instance));
}

extern "C" {
void* Create(void* window, std::uint64_t parent) {
  FakeEngine::Record(Join({"CREATE", Id(window), std::to_string(parent)}));
  return FakeEngine::createResult;
}
void Delete(void* instance) {
  FakeEngine::Record(Join({"DELETE", Id(instance)}));
}
bool LarkInfo(void* instance, const char* a, const char* b, const char* c, const char* d,
              const char* e, const char* f, const char* g, const char* h) {
  FakeEngine::Record("LARK_INFO " + Id(instance) + " [" + a + "|" + b + "|" + c + "|" + d + "|" +
                     e + "|" + f + "|" + g + "|" + h + "]");
  return FakeEngine::larkInfoResult;
}
bool Start(void* instance, int value) {
  FakeEngine::Record(Join({"START", Id(instance), std::to_string(value)}));
  return FakeEngine::startResult;
}
bool IsRun(void* instance) {
  FakeEngine::Record(Join({"ISRUN", Id(instance)}));
  return FakeEngine::boolResult;
}
bool Open(void* instance, const char* url) {
  FakeEngine::Record(Join({"OPEN", Id(instance), url}));
  return FakeEngine::boolResult;
}
bool EnableControl(void* instance, bool enable) {
  FakeEngine::Record(Join({"ENABLE_CONTROL", Id(instance), enable ? "1" : "0"}));
  return FakeEngine::boolResult;
}
bool CefInput(void* instance, bool enable) {
  FakeEngine::Record(Join({"CEF_INPUT", Id(instance), enable ? "1" : "0"}));
  return FakeEngine::boolResult;
}
void Release() {
  FakeEngine::Record("RELEASE");
}
void CallbackData(void* instance, LarkEngine::EngineDataCallbackFn callback) {
  FakeEngine::Record(Join({"CALLBACK_DATA", Id(instance)}));
  FakeEngine::data = callback;
}
void CallbackRequest(void* instance, LarkEngine::EngineRequestCallbackFn callback) {
  FakeEngine::Record(Join({"CALLBACK_REQUEST", Id(instance)}));
  FakeEngine::request = callback;
}
bool CallbackControlIpc(void* instance, LarkEngine::EngineControlCallbackFn callback) {
  FakeEngine::Record(Join({"CALLBACK_CONTROL_IPC", Id(instance)}));
  FakeEngine::control = callback;
  return FakeEngine::boolResult;
}
}  // extern "C"

}  // namespace

LarkEngine::Engine* FakeEngine::Install() {
  Reset();
  engine_ = std::make_unique<LarkEngine::Engine>();
  engine_->InstallForTest({Create, Delete, LarkInfo, Start, IsRun, Open, EnableControl, CefInput,
                           Release, CallbackData, CallbackRequest, CallbackControlIpc});
  return engine_.get();
}

void FakeEngine::Reset() {
  engine_.reset();
  createResult = reinterpret_cast<void*>(0x1000);
  larkInfoResult = startResult = boolResult = true;
  data = nullptr;
  request = nullptr;
  control = nullptr;
  std::lock_guard lock(mutex_);
  calls_.clear();
}

std::vector<std::string> FakeEngine::Calls() {
  std::lock_guard lock(mutex_);
  return calls_;
}

void FakeEngine::Record(std::string call) {
  std::lock_guard lock(mutex_);
  calls_.push_back(std::move(call));
}

}  // namespace lark::test
