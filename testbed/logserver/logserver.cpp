// Stand-in for the host agent's log service: serves the log pipe, prints each
// record on one readable line, and optionally appends the lines to a file.
#include <cstdio>
#include <cstring>
#include <mutex>

#include "log_pipe_server.h"

int main(int argc, char** argv) {
    const char* outPath = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--out") == 0 && i + 1 < argc) outPath = argv[++i];
    }
    FILE* out = outPath ? std::fopen(outPath, "a") : nullptr;
    std::mutex mutex;
    testbed::LogPipeServer server(
        [&](const testbed::LogRecord& record) {
            const std::string line = testbed::FormatRecord(record);
            std::lock_guard<std::mutex> lock(mutex);
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
            if (out) {
                std::fprintf(out, "%s\n", line.c_str());
                std::fflush(out);
            }
        },
        8);
    std::printf("logserver: listening on \\\\.\\pipe\\Log_ServerNamePipe\n");
    std::fflush(stdout);
    // Runs until the process is ended; every line is flushed as it is written.
    for (;;) ::Sleep(INFINITE);
}
