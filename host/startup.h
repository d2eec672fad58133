#pragma once

#include <cstdint>

#include "rpc/pipe_io.h"

// The process's single-instance guard: true when this process now holds the named mutex.
bool AcquireSingleInstanceMutex();
void CloseSingleInstanceMutex();

// One handle argument of the command line as its value, or AnonRpc::kInvalidPipe (logging why)
// when it is empty, zero, not a whole decimal number or out of range.
AnonRpc::PipeHandle ParseHandleArg(const char* text, const char* name);

// Logs the broken notification pipe and asks the main window to shut down; runs on the
// notification writer thread.
void OnNotifyPipeBroken();
