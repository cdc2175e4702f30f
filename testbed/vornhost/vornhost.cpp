// The framework's stand-in on the command line: loads vornExt_iKXClient.dll,
// calls vornExt_Init, sends one request, prints the result and the response,
// gives the response back with vornExt_Free and calls vornExt_Deinit.
//
//   vornhost [--dll PATH] query ID [TYPE]
//   vornhost [--dll PATH] command ID [TYPE] [COMMAND_DATA_JSON]
//   vornhost [--dll PATH] notify ID TYPE [NOTIFY_CONTENT_JSON]
//   vornhost [--dll PATH] request query|command|notify FILE.json
//   vornhost [--dll PATH] init
//   vornhost [--dll PATH] parselog FILE_OR_FOLDER...   (parselog.cpp)
//   vornhost [--dll PATH] update PACKAGE_FOLDER [--option N] [--fail-at STAGE] [--rollback]
//
// When no log service is listening, vornhost listens itself, prints the
// extension's records, and names a refused binding or gate plainly.
#include <windows.h>

#include <json/json.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "log_pipe_server.h"
#include "notify_outcome.h"
#include "parselog.h"
#include "update_stages.h"

namespace {

using InitFn = int32_t(__cdecl*)();
using FreeFn = int32_t(__cdecl*)(void*);
using QueryFn = int32_t(__cdecl*)(int32_t, uint32_t, const char*, uint32_t*, char**);
using RequestFn = int32_t(__cdecl*)(int32_t, uint32_t, const char*);

struct Extension {
    HMODULE module = nullptr;
    InitFn init = nullptr;
    InitFn deinit = nullptr;
    FreeFn free = nullptr;
    QueryFn query = nullptr;
    RequestFn command = nullptr;
    RequestFn notify = nullptr;
};

std::mutex g_printMutex;
std::vector<std::string> g_messages;

std::string ExeDir() {
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path);
    return dir.substr(0, dir.rfind('\\') + 1);
}

template <typename Fn>
Fn Resolve(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

bool Load(const std::string& path, Extension& ext) {
    ext.module = ::LoadLibraryA(path.c_str());
    if (!ext.module) {
        std::printf("vornhost: cannot load %s (error %lu)\n", path.c_str(), ::GetLastError());
        return false;
    }
    ext.init = Resolve<InitFn>(ext.module, "vornExt_Init");
    ext.deinit = Resolve<InitFn>(ext.module, "vornExt_Deinit");
    ext.free = Resolve<FreeFn>(ext.module, "vornExt_Free");
    ext.query = Resolve<QueryFn>(ext.module, "vornExt_OnQueryData");
    ext.command = Resolve<RequestFn>(ext.module, "vornExt_OnCommand");
    ext.notify = Resolve<RequestFn>(ext.module, "vornExt_OnNotify");
    if (ext.init && ext.deinit && ext.free && ext.query && ext.command && ext.notify) return true;
    std::printf("vornhost: %s lacks a vornExt_ export\n", path.c_str());
    return false;
}

Json::Value ParseJsonArg(const char* text) {
    Json::Value value;
    Json::Reader reader;
    if (reader.parse(text, value)) return value;
    std::printf("vornhost: not JSON, sent as text: %s\n", text);
    return Json::Value(text);
}

std::string ReadFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Builds the envelope of a request from the command-line words.
bool BuildRequest(int argc, char** argv, int at, std::string& kind, std::string& text) {
    if (at >= argc) return false;
    kind = argv[at];
    const char* id = at + 1 < argc ? argv[at + 1] : nullptr;
    const char* type = at + 2 < argc ? argv[at + 2] : "";
    const char* extra = at + 3 < argc ? argv[at + 3] : nullptr;
    Json::Value request;
    if (kind == "parselog") return id != nullptr;
    if (kind == "request" && id && at + 2 < argc) {
        kind = id;
        text = ReadFile(argv[at + 2]);
        return true;
    }
    if (!id) return kind == "init";
    if (kind == "update") return true;  // its words are read by RunUpdate
    if (kind == "query") {
        request["product_id"] = "VORN_IPRODUCT_IKX";
        request["query_id"] = id;
        request["query_data"]["query_type"] = type;
    } else if (kind == "command") {
        request["command_id"] = id;
        request["command_data"] = extra ? ParseJsonArg(extra) : Json::Value(Json::objectValue);
        request["command_data"]["command_type"] = type;
    } else if (kind == "notify") {
        request["product_id"] = "VORN_IPRODUCT_IKX";
        request["notify_id"] = id;
        request["notify_data"]["notify_type"] = type;
        if (extra) request["notify_data"]["notify_content"] = ParseJsonArg(extra);
    } else {
        return false;
    }
    text = Json::FastWriter().write(request);
    return true;
}

int Send(const Extension& ext, const std::string& kind, const std::string& text) {
    const auto length = static_cast<uint32_t>(text.size());
    std::printf(">>> %s %s", kind.c_str(), text.c_str());
    if (text.empty() || text.back() != '\n') std::printf("\n");
    if (kind == "query") {
        uint32_t responseLength = 0;
        char* response = nullptr;
        const int32_t rc = ext.query(0, length, text.c_str(), &responseLength, &response);
        std::printf("vornExt_OnQueryData returned %d\n", rc);
        if (response) {
            std::printf("%.*s", static_cast<int>(responseLength), response);
            ext.free(response);
        } else {
            std::printf("(no response)\n");
        }
        return 0;
    }
    if (kind == "command") {
        std::printf("vornExt_OnCommand returned %d\n", ext.command(0, length, text.c_str()));
        return 0;
    }
    if (kind == "notify") {
        std::printf("vornExt_OnNotify returned %d\n", ext.notify(0, length, text.c_str()));
        return 0;
    }
    return 2;
}

bool Logged(const char* suffix) {
    std::lock_guard<std::mutex> lock(g_printMutex);
    for (const auto& m : g_messages) {
        if (m.size() >= std::strlen(suffix) &&
            m.compare(m.size() - std::strlen(suffix), std::string::npos, suffix) == 0) {
            return true;
        }
    }
    return false;
}

void ReportRefusals() {
    if (Logged("Init VornAgent object failed!")) {
        std::printf("vornhost: binding refused: the host agent library was not accepted\n");
    }
    if (Logged("Dll Loader is invalid!")) {
        std::printf("vornhost: gate refused: this process is not signed by the maker\n");
    }
    if (Logged("Haven't init!")) std::printf("vornhost: request refused: extension not bound\n");
}

}  // namespace

int main(int argc, char** argv) {
    std::string dll = ExeDir() + "vornExt_iKXClient.dll";
    int at = 1;
    if (argc > 2 && std::string(argv[1]) == "--dll") {
        dll = argv[2];
        at = 3;
    }
    std::string kind, text;
    if (!BuildRequest(argc, argv, at, kind, text)) {
        std::printf(
            "usage: vornhost [--dll PATH] query ID [TYPE] | command ID [TYPE] [DATA_JSON] |\n"
            "       notify ID TYPE [CONTENT_JSON] | request query|command|notify FILE | init |\n"
            "       parselog FILE_OR_FOLDER... |\n"
            "       update PACKAGE_FOLDER [--option N] [--fail-at STAGE] [--rollback]\n");
        return 2;
    }
    // Listen ourselves only when no log service is there.
    std::unique_ptr<testbed::LogPipeServer> listener;
    if (!::WaitNamedPipeW(L"\\\\.\\pipe\\Log_ServerNamePipe", 1) &&
        ::GetLastError() == ERROR_FILE_NOT_FOUND) {
        listener = std::make_unique<testbed::LogPipeServer>([](const testbed::LogRecord& r) {
            std::lock_guard<std::mutex> lock(g_printMutex);
            g_messages.push_back(r.Text());
            std::printf("  log| %s\n", testbed::FormatRecord(r).c_str());
        });
    }
    Extension ext;
    if (!Load(dll, ext)) return 3;
    std::printf("vornExt_Init returned %d\n", ext.init());
    int rc = 0;
    if (kind == "parselog") {
        rc = vornhost::ParseLogs(ext.module, ext.free, argc - at - 1, argv + at + 1);
    } else if (kind == "update") {
        rc = vornhost::RunUpdate(ext.module, argc, argv, at + 1);
    } else if (kind != "init") {
        rc = Send(ext, kind, text);
    }
    std::printf("vornExt_Deinit returned %d\n", ext.deinit());
    std::fflush(stdout);
    listener.reset();
    ReportRefusals();
    // Records are known only when vornhost listened itself.
    if (kind == "notify") vornhost::ReportNotifyOutcome(Logged);
    ::FreeLibrary(ext.module);
    return rc;
}
