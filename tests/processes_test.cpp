// The launcher and the vcredist runtime step, with real child processes (the
// stand-ins journal their command line) and Wine's real Windows Installer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <thread>
#include <vector>

#include "command/install_steps.h"
#include "win32/folder_rules.h"
#include "win32/processes.h"
#include "win32/registry.h"
#include "workfolders/child_environment.h"
#include "in_process.h"
#include "platform/clock.h"
#include "platform/text.h"

using namespace testsupport;
using std::chrono::seconds;

namespace {

// The launcher and the runtime step as the product calls them: a run folder
// and environment of their own each time.
bool Launch(const wchar_t* program, const wchar_t* arguments) {
    ikx::ChildEnvironment child;
    return ikx::LaunchCmd(program, arguments, child);
}

bool InstallRuntime(const std::wstring& setupFolder, bool x64) {
    ikx::ChildEnvironment child;
    return ikx::CheckAndInstallVcRedistributable(setupFolder, x64, child);
}

constexpr wchar_t kRuntime64[] = L"{7D0B74C2-C3F8-4AF1-940F-CD79AB4B2DCE}";
constexpr wchar_t kRuntime32[] = L"{0FA68574-690B-4B00-89AA-B28946231449}";

// An API key the test never holds in the clear: its UTF-16 bytes XORed with
// MaskByte, so that a scan for the key finds only copies the product made.
// Its 255 characters nearly fill the 520 bytes the product reads it into, so
// a wipe that stops short of the end (bytes counted as characters) leaves a
// tail. Their low bytes all differ, so a fragment tells where it lies.
constexpr size_t kKeyChars = 255;
constexpr size_t kKeyBytes = kKeyChars * sizeof(wchar_t);
constexpr uint8_t MaskByte(size_t at) {
    return static_cast<uint8_t>(0xA5 ^ (at * 29));
}
// Latin letters U+0101..U+01FF, in an order of their own.
constexpr uint16_t KeyChar(size_t at) {
    return static_cast<uint16_t>(0x0100 | (1 + (at * 7 + 11) % 255));
}
struct MaskedKey {
    uint8_t bytes[kKeyBytes];
    uint8_t position[256];  // 1 + the index of the character with this low byte, 0 for none
};
constexpr MaskedKey MakeMaskedKey() {
    MaskedKey key = {};
    for (size_t at = 0; at < kKeyChars; ++at) {
        key.bytes[2 * at] = static_cast<uint8_t>(KeyChar(at) & 0xFF) ^ MaskByte(2 * at);
        key.bytes[2 * at + 1] = static_cast<uint8_t>(KeyChar(at) >> 8) ^ MaskByte(2 * at + 1);
        key.position[KeyChar(at) & 0xFF] = static_cast<uint8_t>(at + 1);
    }
    return key;
}
constexpr MaskedKey kMaskedKey = MakeMaskedKey();
// A freed heap block loses its first 16 bytes to the heap's list links, so a
// run of a third of the key counts as a copy.
constexpr size_t kFragmentBytes = kKeyBytes / 3;

// The key in the clear, in a buffer the caller wipes.
void Unmask(std::vector<wchar_t>& clear) {
    clear.assign(kKeyChars + 1, L'\0');
    auto* bytes = reinterpret_cast<uint8_t*>(clear.data());
    for (size_t at = 0; at < kKeyBytes; ++at) bytes[at] = kMaskedKey.bytes[at] ^ MaskByte(at);
}
void Wipe(std::vector<wchar_t>& clear) {
    ::SecureZeroMemory(clear.data(), clear.size() * sizeof(wchar_t));
}

// Whether `text` is the key, compared through the mask.
bool IsKey(const std::wstring& text) {
    if (text.size() != kKeyChars) return false;
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    for (size_t at = 0; at < kKeyBytes; ++at) {
        if ((bytes[at] ^ MaskByte(at)) != kMaskedKey.bytes[at]) return false;
    }
    return true;
}

// Up to 32 places, gathered without allocating: the scan reuses nothing freed.
struct Copies {
    const void* at[32];
    size_t count = 0;
};

// The regions of Windows' own heap. Its registry functions read a value
// longer than their stack buffer through a block of it and free that unwiped,
// out of any caller's reach; the product allocates from the C runtime's heap.
struct HeapRegions {
    const void* base[16];
    size_t count = 0;
    bool Hold(const void* allocationBase) const {
        return std::find(base, base + count, allocationBase) != base + count;
    }
};
HeapRegions SystemHeapRegions() {
    HeapRegions regions;
    const HANDLE heap = ::GetProcessHeap();
    PROCESS_HEAP_ENTRY entry = {};
    ::HeapLock(heap);
    while (::HeapWalk(heap, &entry) && regions.count < std::size(regions.base)) {
        if (entry.wFlags & PROCESS_HEAP_REGION) regions.base[regions.count++] = entry.lpData;
    }
    ::HeapUnlock(heap);
    return regions;
}

// Where the key or a fragment of it lies in committed, readable private
// memory (the C runtime's heap and buffers, stacks); images, mapped files and
// Windows' own heap are not the product's to wipe.
Copies KeyCopies() {
    Copies found;
    const HeapRegions systemHeap = SystemHeapRegions();
    SYSTEM_INFO system = {};
    ::GetSystemInfo(&system);
    const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                           PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    auto* address = static_cast<const uint8_t*>(system.lpMinimumApplicationAddress);
    MEMORY_BASIC_INFORMATION region = {};
    while (address < system.lpMaximumApplicationAddress &&
           ::VirtualQuery(address, &region, sizeof region) == sizeof region) {
        const auto* base = static_cast<const uint8_t*>(region.BaseAddress);
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE &&
            (region.Protect & readable) && !(region.Protect & (PAGE_GUARD | PAGE_NOACCESS)) &&
            !systemHeap.Hold(region.AllocationBase)) {
            for (size_t at = 0; at < region.RegionSize; ++at) {
                const size_t position = kMaskedKey.position[base[at]];
                if (position == 0) continue;
                const size_t from = 2 * (position - 1);  // the key's byte this would be
                size_t run = 0;
                while (at + run < region.RegionSize && from + run < kKeyBytes &&
                       (base[at + run] ^ MaskByte(from + run)) == kMaskedKey.bytes[from + run]) {
                    ++run;
                }
                if (run < kFragmentBytes) continue;
                if (found.count < std::size(found.at)) found.at[found.count++] = base + at;
                at += run - 1;
            }
        }
        address = base + region.RegionSize;
    }
    return found;
}

std::string Describe(const Copies& copies) {
    std::string text;
    for (size_t i = 0; i < copies.count; ++i) {
        const void* copy = copies.at[i];
        MEMORY_BASIC_INFORMATION region = {};
        ::VirtualQuery(copy, &region, sizeof region);
        char line[96];
        std::snprintf(line, sizeof line, "\n  %p in %p (allocated at %p, ", copy,
                      region.BaseAddress, region.AllocationBase);
        text += line + std::to_string(region.RegionSize) + " bytes)";
    }
    return text;
}

TEST_F(ProcessesTest, LaunchQuotesThePathAndSucceedsWhateverTheExitCode) {
    const std::wstring program = Place(L"vcredist_x64.exe");
    ::SetEnvironmentVariableW(L"IKX_STANDIN_EXIT_CODE", L"1603");
    EXPECT_TRUE(Launch(program.c_str(), L"/q"));
    ::SetEnvironmentVariableW(L"IKX_STANDIN_EXIT_CODE", nullptr);
    EXPECT_EQ(TakeJournal(program), "\"" + Narrow(program) + "\" /q");
    // TEMP and TMP name a folder made for the run alone, removed after it.
    const std::string environment = ReadBytes(program + L".journal.environment");
    std::wstring windowsTemp;
    ikx::GetWindowsTempFolder(windowsTemp);
    const std::string run = Narrow(windowsTemp) + "\\KXE_Private.";
    const std::string temp = environment.substr(5, environment.find('|') - 5);
    EXPECT_EQ(temp.rfind(run, 0), 0u) << environment;
    EXPECT_NE(environment.find("|TMP=" + temp + "|"), std::string::npos) << environment;
    EXPECT_NE(environment.find("|TEMP folder present=1"), std::string::npos) << environment;
    EXPECT_FALSE(PathExists(Widen(temp)));
    EXPECT_TRUE(Launch(program.c_str(), nullptr));
    EXPECT_EQ(TakeJournal(program), "\"" + Narrow(program) + "\"");

    EXPECT_FALSE(Launch(nullptr, L"/q"));
    EXPECT_FALSE(Launch(L"", nullptr));
    EXPECT_FALSE(Launch((launchDir_ + L"missing.exe").c_str(), L"/q"));
    EXPECT_TRUE(log.WaitFor("Create process failed. error:2", seconds(5)));
    EXPECT_EQ(log.Count("Invalid program name."), 2);
}

// A name the product would choose in the shared temp folder, taken first by
// a user as a file or a folder held open, stops no program: each run's
// folder is made afresh under a name nobody can know. The program starts in
// that folder, not in this process's current one.
TEST_F(ProcessesTest, ATakenPrivateNameStopsNoLaunchAndProgramsStartInTheirRunFolder) {
    const std::wstring program = Place(L"vcredist_x64.exe");
    std::wstring windowsTemp;
    ikx::GetWindowsTempFolder(windowsTemp);
    const std::wstring taken = windowsTemp + L"\\KXE_Private";
    const auto hold = [&](DWORD flags) {
        return ikx::UniqueFile(::CreateFileW(taken.c_str(), GENERIC_READ,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_EXISTING, flags, nullptr));
    };
    const struct {
        const char* label;
        std::function<ikx::UniqueFile()> plant;
    } rows[] = {
        {"a file held open", [&] { return WriteBytes(taken, "mine"), hold(0); }},
        {"a folder held open",
         [&] {
             return fs::create_directories(taken + L"\\inside"), hold(FILE_FLAG_BACKUP_SEMANTICS);
         }},
    };
    for (const auto& row : rows) {
        fs::remove_all(taken);
        const ikx::UniqueFile held = row.plant();
        ASSERT_TRUE(held.valid()) << row.label;
        log.Clear();
        EXPECT_TRUE(Launch(program.c_str(), L"/q")) << row.label;
        EXPECT_EQ(TakeJournal(program), "\"" + Narrow(program) + "\" /q") << row.label;
        const std::string environment = ReadBytes(program + L".journal.environment");
        ::DeleteFileW((program + L".journal.environment").c_str());
        ASSERT_GT(environment.size(), 5u) << row.label;
        const std::string temp = environment.substr(5, environment.find('|') - 5);
        EXPECT_NE(environment.find("|TEMP folder present=1|CWD=" + temp + "\n"), std::string::npos)
            << environment;
        EXPECT_EQ(log.CountStarting("Create process failed."), 0) << row.label;
        EXPECT_TRUE(fs::exists(taken)) << "what the user made is theirs";
    }
    fs::remove_all(taken);
}

TEST_F(ProcessesTest, ProgramOutlivingWaitIsLeftRunning) {
    const std::wstring program = Place(L"sleeper.exe");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Launch(program.c_str(), L"--wait"));
    const auto waited = std::chrono::steady_clock::now() - start;
    // It waited out its time-out (scaled here); how fast it returned is not asserted.
    EXPECT_GE(waited, std::chrono::milliseconds(ikx::ScaledMs(20 * 60 * 1000)) * 9 / 10);

    const auto lines = JournalLines(program + L".journal");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].second, "\"" + Narrow(program) + "\" --wait");
    HANDLE process = ::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, lines[0].first);
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(::WaitForSingleObject(process, 0), DWORD(WAIT_TIMEOUT))
        << "the launcher must not end a program it stopped waiting for";
    ::TerminateProcess(process, 1);
    ::WaitForSingleObject(process, 10000);
    ::CloseHandle(process);
}

TEST_F(ProcessesTest, VcRedistRunsOnlyTheInstallerOfAMissingRuntime) {
    UninstallProduct(kRuntime64);
    UninstallProduct(kRuntime32);
    for (const bool x64 : {true, false}) {
        const std::wstring installer = Installer(x64);
        log.Clear();
        EXPECT_TRUE(InstallRuntime(setupDir_, x64));
        EXPECT_EQ(TakeJournal(installer), "\"" + Narrow(installer) + "\" /q /norestart");
        EXPECT_EQ(TakeJournal(Installer(!x64)), "0 lines");
        EXPECT_TRUE(log.WaitFor("Start to install VC runtime", seconds(5)));

        // Installed through Wine's Windows Installer, the runtime needs no installer.
        const std::wstring msi = BinDir() + (x64 ? L"vcruntime_x64.msi" : L"vcruntime_x86.msi");
        ASSERT_EQ(::MsiInstallProductW(msi.c_str(), L""), UINT(ERROR_SUCCESS));
        log.Clear();
        EXPECT_FALSE(InstallRuntime(setupDir_, x64));
        EXPECT_TRUE(log.WaitFor("VC runtime installed", seconds(5)));
        EXPECT_FALSE(log.Contains("Start to install VC runtime"));
        EXPECT_EQ(TakeJournal(installer), "0 lines");
        // The other runtime has its own product code and is still missing.
        EXPECT_TRUE(InstallRuntime(setupDir_, !x64));
        EXPECT_EQ(TakeJournal(Installer(!x64)),
                  "\"" + Narrow(Installer(!x64)) + "\" /q /norestart");
        UninstallProduct(x64 ? kRuntime64 : kRuntime32);
    }
    ::DeleteFileW(Installer(true).c_str());
    EXPECT_FALSE(InstallRuntime(setupDir_, true));
    EXPECT_TRUE(log.WaitFor("Fail to install VC runtime", seconds(5)));
    EXPECT_TRUE(log.Contains("Create process failed. error:2"));
}

// Unregistering reads the API key from the registry and puts it on a command
// line: once it returns, no copy of the key is left in the process. The client
// is missing, so the launch fails before Wine copies the command line: with a
// client there, Wine's CreateProcessW leaves a copy of its own in the heap.
TEST_F(ProcessesTest, UnregisteringLeavesNoCopyOfTheApiKey) {
    struct Cleanup {
        ~Cleanup() { RegDeleteTree(kKxcKey); }
    } cleanup;
    const std::wstring noClient = TempDir(L"unregister");
    RegSetString(kKxcKey, L"InstallPath", noClient.substr(0, noClient.size() - 1));
    RegSetString(kKxcKey, L"Agent GUID", L"0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0");
    {
        HKEY key = nullptr;
        ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKxcKey.c_str(), 0, KEY_SET_VALUE, &key),
                  ERROR_SUCCESS);
        std::vector<wchar_t> clear;
        Unmask(clear);
        const LONG stored = ::RegSetValueExW(key, L"API Key", 0, REG_SZ,
                                             reinterpret_cast<const BYTE*>(clear.data()),
                                             DWORD(clear.size() * sizeof(wchar_t)));
        Wipe(clear);
        ::RegCloseKey(key);
        ASSERT_EQ(stored, ERROR_SUCCESS);
    }
    // The scan finds a copy, and none is left before the product runs; the
    // product's memory is not in the part of the heap it leaves out.
    {
        std::vector<wchar_t> probe(kKeyChars);
        MEMORY_BASIC_INFORMATION region = {};
        ::VirtualQuery(probe.data(), &region, sizeof region);
        ASSERT_FALSE(SystemHeapRegions().Hold(region.AllocationBase));
    }
    {
        std::vector<wchar_t> clear;
        Unmask(clear);
        const auto planted = KeyCopies();
        EXPECT_TRUE(planted.count == 1 && planted.at[0] == clear.data()) << Describe(planted);
        Wipe(clear);
    }
    const auto before = KeyCopies();
    ASSERT_TRUE(before.count == 0) << "left by storing the key:" << Describe(before);

    // The reader alone, as every caller uses it: the value handed over is the
    // only copy, and once that is wiped none is left.
    constexpr DWORD kValueBytes = 520;  // the bound the product reads it with
    bool read = false;
    std::thread([&read] {
        ikx::UniqueHkey key;
        std::wstring value;
        read = ikx::OpenKeyForRead(kKxcKey.c_str(), key) == ERROR_SUCCESS &&
               ikx::QueryRegSz(key.get(), L"API Key", kValueBytes, value) == ERROR_SUCCESS &&
               IsKey(value);
        ikx::WipeText(value);
    }).join();
    const auto afterRead = KeyCopies();
    EXPECT_TRUE(read);
    EXPECT_TRUE(afterRead.count == 0) << "left by reading the key:" << Describe(afterRead);

    bool ran = true;
    std::thread([&ran] { ran = ikx::UnRegisterClient(); }).join();
    const auto afterLogged = KeyCopies();
    EXPECT_TRUE(afterLogged.count == 0) << "left by unregistering:" << Describe(afterLogged);
    EXPECT_FALSE(ran);
    EXPECT_TRUE(log.WaitFor("Create process failed. error:2", seconds(5)));
    EXPECT_TRUE(log.Contains("Unregister To Server failed"));

    // Again without the log, whose collector thread allocates meanwhile and
    // could reuse, and so hide, a freed copy. Scanned on the thread right after
    // the call, while its stack still holds the frames the call left, and as
    // soon as the thread ends.
    ikx::DestroyLogWriter();
    Copies onThread;
    std::thread([&onThread] {
        ikx::UnRegisterClient();
        onThread = KeyCopies();
    }).join();
    const auto after = KeyCopies();
    ikx::CreateLogWriter();
    EXPECT_TRUE(onThread.count == 0) << "left on the unregistering thread:" << Describe(onThread);
    EXPECT_TRUE(after.count == 0) << "left by unregistering unlogged:" << Describe(after);
}

}  // namespace
