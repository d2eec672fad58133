// A library the stand-in engine's LARK_SIM_WITH_DEPENDENCY variant imports, as a real engine
// imports libraries shipped beside it.

extern "C" __declspec(dllexport) int LarkSimDependency() {
  return 1;
}
