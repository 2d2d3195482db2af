#include "platform/Win32.h"

namespace {
thread_local DWORD tlsLastError = ERROR_SUCCESS;
}

extern "C" DWORD GetLastError(void) { return tlsLastError; }

extern "C" void SetLastError(DWORD error) { tlsLastError = error; }
