#include "http_listener.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace testbed {
namespace {

constexpr size_t kMaxRequestBytes = 1024 * 1024;
constexpr DWORD kReceiveTimeoutMs = 10000;

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string Decode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// The request line and headers; false when they are malformed.
bool ParseHead(const std::string& head, HttpRequest& request) {
    size_t lineEnd = head.find("\r\n");
    const std::string line = head.substr(0, lineEnd);
    const size_t first = line.find(' '), second = line.rfind(' ');
    if (first == std::string::npos || second == first) return false;
    request.method = line.substr(0, first);
    request.path = line.substr(first + 1, second - first - 1);
    request.version = line.substr(second + 1);
    while (lineEnd != std::string::npos && lineEnd + 2 < head.size()) {
        const size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        const std::string header = head.substr(start, lineEnd - start);
        const size_t colon = header.find(':');
        if (colon == std::string::npos) return false;
        request.headers[Lower(Trim(header.substr(0, colon)))] = Trim(header.substr(colon + 1));
    }
    return true;
}

// Reads one whole request: the head, then Content-Length bytes of body.
bool ReceiveRequest(SOCKET connection, HttpRequest& request) {
    std::string data;
    char chunk[4096];
    size_t headEnd = std::string::npos;
    size_t wanted = 0;
    for (;;) {
        if (headEnd == std::string::npos &&
            (headEnd = data.find("\r\n\r\n")) != std::string::npos) {
            if (!ParseHead(data.substr(0, headEnd), request)) return false;
            wanted = std::strtoul(request.Header("content-length").c_str(), nullptr, 10);
            if (wanted > kMaxRequestBytes) return false;
        }
        if (headEnd != std::string::npos && data.size() >= headEnd + 4 + wanted) {
            request.body = data.substr(headEnd + 4, wanted);
            return true;
        }
        const int got = ::recv(connection, chunk, sizeof chunk, 0);
        if (got <= 0 || data.size() > kMaxRequestBytes) return false;
        data.append(chunk, static_cast<size_t>(got));
    }
}

}  // namespace

std::string HttpRequest::Header(const std::string& lowerName) const {
    const auto it = headers.find(lowerName);
    return it == headers.end() ? std::string() : it->second;
}

std::map<std::string, std::string> ParseForm(const std::string& body) {
    std::map<std::string, std::string> fields;
    size_t start = 0;
    while (start <= body.size()) {
        size_t end = body.find('&', start);
        if (end == std::string::npos) end = body.size();
        const std::string pair = body.substr(start, end - start);
        const size_t equals = pair.find('=');
        if (!pair.empty()) {
            fields[Decode(pair.substr(0, equals))] =
                equals == std::string::npos ? std::string() : Decode(pair.substr(equals + 1));
        }
        start = end + 1;
    }
    return fields;
}

HttpListener::HttpListener(uint16_t port, Sink sink) : sink_(std::move(sink)) {
    WSADATA wsa;
    if (::WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return;
    listening_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    int length = sizeof address;
    if (listening_ == INVALID_SOCKET ||
        ::bind(listening_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listening_, SOMAXCONN) != 0 ||
        ::getsockname(listening_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (listening_ != INVALID_SOCKET) ::closesocket(listening_);
        listening_ = INVALID_SOCKET;
        return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

HttpListener::~HttpListener() {
    if (listening_ != INVALID_SOCKET) {
        // Closing the socket ends the accept that the thread waits in.
        ::closesocket(listening_);
        thread_.join();
    }
    ::WSACleanup();
}

std::string HttpListener::Address() const {
    return "127.0.0.1:" + std::to_string(port_);
}

void HttpListener::SetStatus(int status) {
    std::lock_guard<std::mutex> lock(mutex_);
    status_ = status;
}

std::vector<HttpRequest> HttpListener::Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void HttpListener::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
}

bool HttpListener::WaitForRequests(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

void HttpListener::Serve() {
    for (;;) {
        const SOCKET connection = ::accept(listening_, nullptr, nullptr);
        if (connection == INVALID_SOCKET) return;
        const DWORD timeout = kReceiveTimeoutMs;
        ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                     sizeof timeout);
        Answer(connection);
        ::closesocket(connection);
    }
}

void HttpListener::Answer(SOCKET connection) {
    HttpRequest request;
    if (!ReceiveRequest(connection, request)) return;
    int status = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        status = status_;
    }
    if (sink_) sink_(request);
    {
        // Recorded before the answer, so the sender finds it once its call returns.
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
        changed_.notify_all();
    }
    const std::string reply = "HTTP/1.1 " + std::to_string(status) +
                              (status == 200 ? " OK" : " Scripted") +
                              "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    ::send(connection, reply.data(), static_cast<int>(reply.size()), 0);
}

}  // namespace testbed
