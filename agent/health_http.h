// The health check's HTTP side: health.url taken apart, and one GET of it
// through WinHTTP, the HTTP client every Windows ships, with the system's
// certificate checks. winhttp.dll is loaded from the system folder by the
// first client, so a service without health.url never loads it.
#pragma once

#include "base/win32.h"

#include <winhttp.h>

// A host name, an IPv4 address or an IPv6 address (without its brackets).
constexpr size_t kHealthHostUnits = 256;
// What a failure is called in an event: "HTTP 503", "connection refused".
constexpr size_t kHealthWordsUnits = 512;

struct HealthUrl {
    bool secure;  // https
    WORD port;
    wchar_t host[kHealthHostUnits];
    // The path and query, from the first '/' after the host to the end;
    // weak: inside the URL taken apart, or a constant "/" when it has none.
    const wchar_t* path;
};

// Takes `url` (`length` units) apart: "http://" or "https://" in any case, a
// host of letters, digits, '-' and '.' or an IPv6 address in brackets, an
// optional ":port" from 1 to 65535, and an optional path beginning with '/'.
// False for anything else (user information, blanks, control characters).
bool ParseHealthUrl(const wchar_t* url, size_t length, HealthUrl* parsed);

// How one GET ended.
struct HttpAnswer {
    DWORD status;  // the answer's HTTP status; 0 when none came
    DWORD error;   // why none came: WinHTTP's error or the system's
};

// The functions of winhttp.dll the check uses, by their types in the header.
struct WinHttpApi {
    decltype(&WinHttpOpen) open;
    decltype(&WinHttpSetTimeouts) setTimeouts;
    decltype(&WinHttpConnect) connect;
    decltype(&WinHttpOpenRequest) openRequest;
    decltype(&WinHttpSetOption) setOption;
    decltype(&WinHttpSendRequest) sendRequest;
    decltype(&WinHttpReceiveResponse) receiveResponse;
    decltype(&WinHttpQueryHeaders) queryHeaders;
    decltype(&WinHttpCloseHandle) closeHandle;
};

// One session of WinHTTP, used by one thread at a time.
class HttpClient {
  public:
    HttpClient();
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // GET `url` without a proxy (the check asks the application, never a
    // proxy in front of it), redirects followed as WinHTTP follows them;
    // each step (name, connection, request, answer) waits at most
    // `timeoutMs`. Only the status line and headers are read.
    HttpAnswer Get(const HealthUrl& url, DWORD timeoutMs);

  private:
    bool Load();

    HMODULE module;     // winhttp.dll, loaded by the first Get
    HINTERNET session;  // opened by the first Get
    WinHttpApi api;
};

// The answer in words: "HTTP 503", "no answer within 5 s", "connection
// refused", "the host name could not be resolved", ...
void DescribeHttpAnswer(const HttpAnswer& answer, DWORD timeoutSeconds,
                        wchar_t (&words)[kHealthWordsUnits]);
