// The management server's stand-in for the demo: serves HTTP on the loopback
// interface and prints each request with its form fields.
//   pelmoserver.exe [--port N] [--status CODE]
// Prints "listening on 127.0.0.1:<port>" first (port 0, the default, takes
// any free port) and runs until it is killed.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "http_listener.h"

int main(int argc, char** argv) {
    uint16_t port = 0;
    int status = 200;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--port") port = static_cast<uint16_t>(std::atoi(argv[i + 1]));
        if (option == "--status") status = std::atoi(argv[i + 1]);
    }
    testbed::HttpListener listener(port, [](const testbed::HttpRequest& request) {
        std::printf("%s %s %s\n", request.method.c_str(), request.path.c_str(),
                    request.version.c_str());
        for (const auto& header : request.headers)
            std::printf("  %s: %s\n", header.first.c_str(), header.second.c_str());
        for (const auto& field : testbed::ParseForm(request.body))
            std::printf("  form %s = %s\n", field.first.c_str(), field.second.c_str());
        std::fflush(stdout);
    });
    if (!listener.Valid()) {
        std::printf("pelmoserver: cannot listen on port %u\n", static_cast<unsigned>(port));
        return 1;
    }
    listener.SetStatus(status);
    std::printf("listening on %s\n", listener.Address().c_str());
    std::fflush(stdout);
    for (;;) ::Sleep(INFINITE);
}
