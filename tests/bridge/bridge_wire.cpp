#include "bridge_wire.h"

#include <ws2tcpip.h>

namespace bridge {

namespace {

void Escape(const std::string& field, std::string* line) {
    for (char c : field) {
        switch (c) {
            case '\\':
                line->append("\\\\");
                break;
            case '\t':
                line->append("\\t");
                break;
            case '\n':
                line->append("\\n");
                break;
            case '\r':
                line->append("\\r");
                break;
            default:
                line->push_back(c);
        }
    }
}

void Split(const std::string& line, std::vector<std::string>* fields) {
    fields->clear();
    std::string field;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\t') {
            fields->push_back(field);
            field.clear();
        } else if (c == '\\' && i + 1 < line.size()) {
            const char next = line[++i];
            field.push_back(next == 't' ? '\t' : next == 'n' ? '\n' : next == 'r' ? '\r' : next);
        } else {
            field.push_back(c);
        }
    }
    fields->push_back(field);
}

}  // namespace

bool SendFields(Channel* channel, const std::vector<std::string>& fields) {
    if (channel->socket == INVALID_SOCKET) {
        return false;
    }
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) {
            line.push_back('\t');
        }
        Escape(fields[i], &line);
    }
    line.push_back('\n');
    size_t sent = 0;
    while (sent < line.size()) {
        const int n =
            send(channel->socket, line.data() + sent, static_cast<int>(line.size() - sent), 0);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool ReceiveFields(Channel* channel, std::vector<std::string>* fields, DWORD timeoutMs) {
    if (channel->socket == INVALID_SOCKET) {
        return false;
    }
    size_t end;
    while ((end = channel->received.find('\n')) == std::string::npos) {
        if (timeoutMs != INFINITE && !WaitReadable(channel->socket, timeoutMs)) {
            return false;
        }
        char chunk[4096];
        const int n = recv(channel->socket, chunk, sizeof(chunk), 0);
        if (n <= 0) {
            return false;
        }
        channel->received.append(chunk, static_cast<size_t>(n));
    }
    Split(channel->received.substr(0, end), fields);
    channel->received.erase(0, end + 1);
    return true;
}

void CloseChannel(Channel* channel) {
    if (channel->socket != INVALID_SOCKET) {
        closesocket(channel->socket);
    }
    channel->socket = INVALID_SOCKET;
    channel->received.clear();
}

bool WaitReadable(SOCKET socket, DWORD timeoutMs) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval wait = {static_cast<long>(timeoutMs / 1000),
                    static_cast<long>(timeoutMs % 1000) * 1000};
    return select(0, &readable, nullptr, nullptr, &wait) > 0;
}

SOCKET ConnectLoopback(unsigned short port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        return s;
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    // Every request waits for its reply; batching small lines only adds delay.
    BOOL noDelay = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
               sizeof(noDelay));
    return s;
}

std::string HexUnits(const wchar_t* units, size_t count) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(count * 4);
    for (size_t i = 0; i < count; ++i) {
        const unsigned unit = static_cast<unsigned short>(units[i]);
        for (int shift = 12; shift >= 0; shift -= 4) {
            hex.push_back(kDigits[(unit >> shift) & 0xF]);
        }
    }
    return hex;
}

std::wstring WideFromHexUnits(const std::string& hex) {
    std::wstring units;
    units.reserve(hex.size() / 4);
    for (size_t i = 0; i + 4 <= hex.size(); i += 4) {
        units.push_back(static_cast<wchar_t>(strtoul(hex.substr(i, 4).c_str(), nullptr, 16)));
    }
    return units;
}

std::string Utf8(const std::wstring& text) {
    if (text.empty()) {
        return std::string();
    }
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n,
                            nullptr, nullptr);
    }
    return out;
}

namespace {

std::wstring WideFrom(UINT codePage, const char* bytes, size_t length) {
    if (length == 0) {
        return std::wstring();
    }
    const int n = MultiByteToWideChar(codePage, 0, bytes, static_cast<int>(length), nullptr, 0);
    std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) {
        MultiByteToWideChar(codePage, 0, bytes, static_cast<int>(length), &out[0], n);
    }
    return out;
}

}  // namespace

std::wstring Wide(const std::string& utf8) {
    return WideFrom(CP_UTF8, utf8.data(), utf8.size());
}

std::wstring WideFromAnsi(const char* bytes) {
    return WideFrom(CP_ACP, bytes, strlen(bytes));
}

}  // namespace bridge
