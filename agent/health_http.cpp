#include "agent/health_http.h"

#include <strsafe.h>

namespace {

// Through a plain function type, so -Wcast-function-type stays quiet.
template <typename Function>
bool Resolve(HMODULE module, const char* name, Function* function) {
    *function =
        reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
    return *function != nullptr;
}

bool IsHostCharacter(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
           c == L'-' || c == L'.';
}

bool IsAddressCharacter(wchar_t c) {
    return (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F') || (c >= L'0' && c <= L'9') ||
           c == L':' || c == L'.';
}

// "http://" and "https://" in any case; the units after it in `at`.
bool TakeScheme(const wchar_t* url, size_t length, const wchar_t* scheme, size_t* at) {
    size_t i = 0;
    for (; scheme[i] != L'\0'; ++i) {
        const wchar_t c = i < length ? url[i] : L'\0';
        if ((c >= L'A' && c <= L'Z' ? c + (L'a' - L'A') : c) != scheme[i]) {
            return false;
        }
    }
    *at = i;
    return true;
}

// ":<digits>" from 1 to 65535.
bool ParsePort(const wchar_t* text, size_t length, WORD* port) {
    DWORD number = 0;
    for (size_t i = 1; i < length; ++i) {
        if (text[i] < L'0' || text[i] > L'9' || (number = number * 10 + (text[i] - L'0')) > 65535) {
            return false;
        }
    }
    *port = static_cast<WORD>(number);
    return length > 1 && text[0] == L':' && number != 0;
}

// "host", "host:port", "[v6]" or "[v6]:port".
bool ParseAuthority(const wchar_t* text, size_t length, HealthUrl* parsed) {
    const bool bracketed = length > 0 && text[0] == L'[';
    const size_t begin = bracketed ? 1 : 0;
    size_t end = begin;
    while (end < length &&
           (bracketed ? IsAddressCharacter(text[end]) : IsHostCharacter(text[end]))) {
        ++end;
    }
    const bool closed = !bracketed || (end < length && text[end] == L']');
    const size_t after = bracketed ? end + 1 : end;
    if (!closed || end == begin || end - begin >= kHealthHostUnits) {
        return false;
    }
    StringCchCopyNW(parsed->host, kHealthHostUnits, text + begin, end - begin);
    parsed->port = parsed->secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
    return after == length || ParsePort(text + after, length - after, &parsed->port);
}

// The errors a check meets most, in words; any other is named by its number.
struct ErrorWords {
    DWORD error;
    const wchar_t* words;
};

const ErrorWords kErrorWords[] = {
    {ERROR_WINHTTP_CANNOT_CONNECT, L"connection refused"},
    {ERROR_WINHTTP_NAME_NOT_RESOLVED, L"the host name could not be resolved"},
    {ERROR_WINHTTP_CONNECTION_ERROR, L"the connection was reset"},
    {ERROR_WINHTTP_INVALID_SERVER_RESPONSE, L"the answer was not HTTP"},
    {ERROR_WINHTTP_SECURE_FAILURE, L"the server's certificate was not accepted"},
    {ERROR_WINHTTP_SECURE_INVALID_CA, L"the server's certificate is from an untrusted authority"},
    {ERROR_WINHTTP_SECURE_CERT_CN_INVALID, L"the server's certificate names another host"},
    {ERROR_WINHTTP_SECURE_CERT_DATE_INVALID, L"the server's certificate has expired"},
    {ERROR_WINHTTP_SECURE_CHANNEL_ERROR, L"no TLS connection could be made"},
    {ERROR_MOD_NOT_FOUND, L"winhttp.dll could not be loaded"},
};

// Closes a WinHTTP handle on every path out.
struct InternetHandle {
    InternetHandle(const WinHttpApi& api, HINTERNET opened)
        : closer(api.closeHandle), handle(opened) {}
    ~InternetHandle() {
        if (handle != nullptr) {
            closer(handle);
        }
    }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
    decltype(&WinHttpCloseHandle) closer;
    HINTERNET handle;
};

HttpAnswer Failed() {
    const DWORD error = GetLastError();
    return {0, error};
}

}  // namespace

bool ParseHealthUrl(const wchar_t* url, size_t length, HealthUrl* parsed) {
    size_t at = 0;
    parsed->secure = TakeScheme(url, length, L"https://", &at);
    if (!parsed->secure && !TakeScheme(url, length, L"http://", &at)) {
        return false;
    }
    for (size_t i = at; i < length; ++i) {
        if (url[i] <= L' ' || url[i] == 0x7F) {
            return false;
        }
    }
    size_t end = at;
    while (end < length && url[end] != L'/') ++end;
    parsed->path = end < length ? url + end : L"/";
    return ParseAuthority(url + at, end - at, parsed);
}

HttpClient::HttpClient() : module(nullptr), session(nullptr), api() {}

HttpClient::~HttpClient() {
    if (session != nullptr) {
        api.closeHandle(session);
    }
    if (module != nullptr) {
        FreeLibrary(module);
    }
}

// From the system folder only: a winhttp.dll planted beside the executable
// or in the current directory is never loaded.
bool HttpClient::Load() {
    if (session != nullptr) {
        return true;
    }
    if (module == nullptr) {
        module = LoadLibraryExW(L"winhttp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    if (module == nullptr || !Resolve(module, "WinHttpOpen", &api.open) ||
        !Resolve(module, "WinHttpSetTimeouts", &api.setTimeouts) ||
        !Resolve(module, "WinHttpConnect", &api.connect) ||
        !Resolve(module, "WinHttpOpenRequest", &api.openRequest) ||
        !Resolve(module, "WinHttpSetOption", &api.setOption) ||
        !Resolve(module, "WinHttpSendRequest", &api.sendRequest) ||
        !Resolve(module, "WinHttpReceiveResponse", &api.receiveResponse) ||
        !Resolve(module, "WinHttpQueryHeaders", &api.queryHeaders) ||
        !Resolve(module, "WinHttpCloseHandle", &api.closeHandle)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return false;
    }
    session = api.open(L"MerivastService health check", WINHTTP_ACCESS_TYPE_NO_PROXY,
                       WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    return session != nullptr;
}

HttpAnswer HttpClient::Get(const HealthUrl& url, DWORD timeoutMs) {
    if (!Load()) {
        return Failed();
    }
    InternetHandle connection(api, api.connect(session, url.host, url.port, 0));
    InternetHandle request(
        api,
        connection.handle == nullptr
            ? nullptr
            : api.openRequest(connection.handle, L"GET", url.path, nullptr, WINHTTP_NO_REFERER,
                              WINHTTP_DEFAULT_ACCEPT_TYPES, url.secure ? WINHTTP_FLAG_SECURE : 0));
    const int timeout = static_cast<int>(timeoutMs);
    // Wine bounds the wait for the answer's headers by this option only,
    // Windows by both (its own default is 90 s).
    if (request.handle == nullptr ||
        !api.setTimeouts(request.handle, timeout, timeout, timeout, timeout) ||
        !api.setOption(request.handle, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &timeoutMs,
                       sizeof(timeoutMs)) ||
        !api.sendRequest(request.handle, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA,
                         0, 0, 0) ||
        !api.receiveResponse(request.handle, nullptr)) {
        return Failed();
    }
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!api.queryHeaders(request.handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                          WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
        return Failed();
    }
    return {status, 0};
}

void DescribeHttpAnswer(const HttpAnswer& answer, DWORD timeoutSeconds,
                        wchar_t (&words)[kHealthWordsUnits]) {
    if (answer.status != 0) {
        StringCchPrintfW(words, kHealthWordsUnits, L"HTTP %lu",
                         static_cast<unsigned long>(answer.status));
        return;
    }
    // Windows says ERROR_WINHTTP_TIMEOUT; Wine passes the socket's WSAETIMEDOUT on.
    if (answer.error == ERROR_WINHTTP_TIMEOUT || answer.error == WSAETIMEDOUT) {
        StringCchPrintfW(words, kHealthWordsUnits, L"no answer within %lu s",
                         static_cast<unsigned long>(timeoutSeconds));
        return;
    }
    size_t known = 0;
    while (known < ARRAYSIZE(kErrorWords) && kErrorWords[known].error != answer.error) ++known;
    if (known < ARRAYSIZE(kErrorWords)) {
        StringCchCopyW(words, kHealthWordsUnits, kErrorWords[known].words);
        return;
    }
    StringCchPrintfW(words, kHealthWordsUnits, L"WinHTTP error %lu",
                     static_cast<unsigned long>(answer.error));
}
