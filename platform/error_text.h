// The system's words for one of its error numbers (errno on Linux,
// WSAGetLastError/GetLastError on Windows), without a line break. Any thread.
#pragma once

#include <string>

std::string systemErrorText(int code);
