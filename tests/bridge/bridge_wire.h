// The bridge's wire: loopback TCP carrying one request or reply per line,
// fields separated by tabs and escaped so that no field holds a tab or a line
// break. Both ends (this DLL and BridgeMain.java) speak it.
#pragma once

#include <winsock2.h>

#include <string>
#include <vector>

namespace bridge {

struct Channel {
    SOCKET socket = INVALID_SOCKET;
    std::string received;  // bytes read past the last line returned
};

// Sends one line; false when the connection is gone.
bool SendFields(Channel* channel, const std::vector<std::string>& fields);
// Reads the next line into `fields`; false at the end of the stream or on an
// error. `timeoutMs` bounds the wait for each read (INFINITE: no bound).
bool ReceiveFields(Channel* channel, std::vector<std::string>* fields, DWORD timeoutMs = INFINITE);
void CloseChannel(Channel* channel);

// True when `socket` has something to read (or has been closed) within `timeoutMs`.
bool WaitReadable(SOCKET socket, DWORD timeoutMs);
// A connected socket to 127.0.0.1:`port`, or INVALID_SOCKET.
SOCKET ConnectLoopback(unsigned short port);

// UTF-16 units as four hex digits each: exact even for unpaired surrogates.
std::string HexUnits(const wchar_t* units, size_t count);
// The reverse; a malformed digit reads as 0.
std::wstring WideFromHexUnits(const std::string& hex);

std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& utf8);
// `bytes` in the ANSI code page, the encoding of JavaVMOption strings.
std::wstring WideFromAnsi(const char* bytes);

}  // namespace bridge
