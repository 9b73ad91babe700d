// Winsock's header must come before windows.h, which the others bring in.
#include <winsock2.h>

#include "loopback_http.h"

namespace mvt {

namespace {

// Winsock for the length of one call.
struct WinsockUse {
    WinsockUse() {
        WSADATA data;
        ready = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~WinsockUse() {
        if (ready) WSACleanup();
    }
    bool ready = false;
};

sockaddr_in Loopback(unsigned short port) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

}  // namespace

unsigned short FreeLoopbackPort() {
    WinsockUse winsock;
    SOCKET s = winsock.ready ? socket(AF_INET, SOCK_STREAM, IPPROTO_TCP) : INVALID_SOCKET;
    if (s == INVALID_SOCKET) return 0;
    sockaddr_in address = Loopback(0);
    int length = sizeof(address);
    unsigned short port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    closesocket(s);
    return port;
}

bool LoopbackGet(unsigned short port, const std::string& path, std::string* response,
                 unsigned long timeoutMs) {
    response->clear();
    WinsockUse winsock;
    SOCKET s = winsock.ready ? socket(AF_INET, SOCK_STREAM, IPPROTO_TCP) : INVALID_SOCKET;
    if (s == INVALID_SOCKET) return false;
    const DWORD timeout = timeoutMs;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof(timeout));
    sockaddr_in address = Loopback(port);
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    bool answered = false;
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        send(s, request.data(), static_cast<int>(request.size()), 0) ==
            static_cast<int>(request.size())) {
        // HTTP/1.0: the server closes the connection after its answer.
        char chunk[4096];
        int n;
        while ((n = recv(s, chunk, sizeof(chunk), 0)) > 0) response->append(chunk, n);
        answered = n == 0 && !response->empty();
    }
    closesocket(s);
    return answered;
}

std::string StatusLine(const std::string& response) {
    return response.substr(0, response.find("\r\n"));
}

std::string Body(const std::string& response) {
    const size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : response.substr(end + 4);
}

}  // namespace mvt
