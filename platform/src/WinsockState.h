// Winsock start-up state shared by the platform's Winsock calls.
#pragma once

namespace platform::detail {

// True while more WSAStartup calls than WSACleanup calls have succeeded.
bool WinsockStarted();

}  // namespace platform::detail
