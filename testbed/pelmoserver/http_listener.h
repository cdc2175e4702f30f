#pragma once
// A small HTTP/1.1 server on the loopback interface standing in for the
// management server: records every request and answers each with a
// scripted status and an empty body. One connection at a time.
#include <winsock2.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testbed {

struct HttpRequest {
    std::string method;
    std::string path;
    std::string version;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
    std::string Header(const std::string& lowerName) const;
};

// "a=1&b=2" as its fields; %XX and '+' decoded.
std::map<std::string, std::string> ParseForm(const std::string& body);

class HttpListener {
  public:
    using Sink = std::function<void(const HttpRequest&)>;
    // Port 0 takes any free port; Port() tells which. Valid() is false when
    // the port could not be bound.
    explicit HttpListener(uint16_t port = 0, Sink sink = nullptr);
    ~HttpListener();
    HttpListener(const HttpListener&) = delete;
    HttpListener& operator=(const HttpListener&) = delete;

    bool Valid() const { return listening_ != INVALID_SOCKET; }
    uint16_t Port() const { return port_; }
    std::string Address() const;  // "127.0.0.1:<port>"
    void SetStatus(int status);
    std::vector<HttpRequest> Requests();
    void Clear();
    // Waits (bounded) until at least `count` requests have been answered.
    bool WaitForRequests(size_t count, std::chrono::milliseconds timeout);

  private:
    void Serve();
    void Answer(SOCKET connection);

    SOCKET listening_ = INVALID_SOCKET;
    uint16_t port_ = 0;
    Sink sink_;
    std::mutex mutex_;
    std::condition_variable changed_;
    int status_ = 200;
    std::vector<HttpRequest> requests_;
    std::thread thread_;
};

}  // namespace testbed
