// HTTP/1.0 on 127.0.0.1, for a service whose application serves HTTP (the
// HTTP sample): the bridge tests and the demo ask it a question.
#pragma once

#include <string>

namespace mvt {

// A port of 127.0.0.1 that was free a moment ago; 0 when none could be had.
unsigned short FreeLoopbackPort();

// "GET <path> HTTP/1.0" to 127.0.0.1:<port>, and the whole answer (status
// line, headers and body) in `response`. Waits at most `timeoutMs` for it;
// false when nothing listens there or nothing came back in time.
bool LoopbackGet(unsigned short port, const std::string& path, std::string* response,
                 unsigned long timeoutMs = 5000);

// An answer's status line and its body: the text before the first line break
// and after the blank line that ends the headers.
std::string StatusLine(const std::string& response);
std::string Body(const std::string& response);

}  // namespace mvt
