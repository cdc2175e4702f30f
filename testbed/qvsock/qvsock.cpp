// Stand-in for the host agent's HTTP library: qvSendHttpToPelmoServer sends
// the body as one HTTP/1.1 POST, form-encoded, to the management server
// named by IKX_PELMO_SERVER ("host:port", e.g. 127.0.0.1:8080) and writes
// the HTTP status it gets back through the sixth argument. A server that
// cannot be reached leaves the status 0; the result is then the socket
// error (0 when the exchange took place).
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

constexpr DWORD kTimeoutMs = 10000;

std::string ServerAddress() {
    char buffer[256] = {};
    const DWORD length = ::GetEnvironmentVariableA("IKX_PELMO_SERVER", buffer, sizeof buffer);
    return length > 0 && length < sizeof buffer ? std::string(buffer) : std::string();
}

SOCKET Connect(const std::string& server, int* error) {
    const size_t colon = server.rfind(':');
    if (colon == std::string::npos) {
        *error = WSAEINVAL;
        return INVALID_SOCKET;
    }
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if ((*error = ::getaddrinfo(server.substr(0, colon).c_str(), server.c_str() + colon + 1, &hints,
                                &found)) != 0) {
        return INVALID_SOCKET;
    }
    SOCKET connection = ::socket(found->ai_family, found->ai_socktype, found->ai_protocol);
    if (connection != INVALID_SOCKET &&
        ::connect(connection, found->ai_addr, static_cast<int>(found->ai_addrlen)) != 0) {
        *error = ::WSAGetLastError();
        ::closesocket(connection);
        connection = INVALID_SOCKET;
    }
    ::freeaddrinfo(found);
    return connection;
}

bool SendAll(SOCKET connection, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        const int n =
            ::send(connection, data.data() + sent, static_cast<int>(data.size() - sent), 0);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// The status of "HTTP/1.x NNN ..." once the status line is in; 0 otherwise.
uint32_t ReceiveStatus(SOCKET connection) {
    std::string head;
    char chunk[1024];
    while (head.find("\r\n") == std::string::npos && head.size() < 64 * 1024) {
        const int n = ::recv(connection, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        head.append(chunk, static_cast<size_t>(n));
    }
    if (head.compare(0, 5, "HTTP/") != 0) return 0;
    const size_t blank = head.find(' ');
    return blank == std::string::npos
               ? 0
               : static_cast<uint32_t>(std::strtoul(head.c_str() + blank + 1, nullptr, 10));
}

int Exchange(const std::string& server, const std::string& request, uint32_t* status) {
    int error = 0;
    const SOCKET connection = Connect(server, &error);
    if (connection == INVALID_SOCKET) return error ? error : WSAECONNREFUSED;
    const DWORD timeout = kTimeoutMs;
    ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                 sizeof timeout);
    if (SendAll(connection, request)) *status = ReceiveStatus(connection);
    ::closesocket(connection);
    return *status ? 0 : WSAECONNRESET;
}

}  // namespace

extern "C" __declspec(dllexport) int32_t
    __cdecl qvSendHttpToPelmoServer(const char* path, int32_t, const char* body,
                                    uint32_t bodyLength, int32_t, uint32_t* httpStatus,
                                    char** /*responseText: left as the caller set it*/, int32_t) {
    if (!path || !httpStatus || (!body && bodyLength)) return WSAEINVAL;
    *httpStatus = 0;
    const std::string server = ServerAddress();
    if (server.empty()) return WSAEDESTADDRREQ;
    std::string request = std::string("POST ") + path + " HTTP/1.1\r\n" + "Host: " + server +
                          "\r\n" + "Content-Type: application/x-www-form-urlencoded\r\n" +
                          "Content-Length: " + std::to_string(bodyLength) + "\r\n" +
                          "Connection: close\r\n\r\n";
    if (bodyLength) request.append(body, bodyLength);
    WSADATA wsa;
    if (::WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return WSASYSNOTREADY;
    const int result = Exchange(server, request, httpStatus);
    ::WSACleanup();
    return result;
}
