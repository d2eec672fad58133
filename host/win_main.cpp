// LarkRemoteHost: a hidden helper process that a parent plug-in drives over six inherited pipes.

#include <windows.h>

#include "host/host.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  return LarkHost::Host(instance).Run();
}
