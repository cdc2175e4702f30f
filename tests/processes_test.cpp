// The launcher and the vcredist runtime step, with real child processes (the
// stand-ins journal their command line) and Wine's real Windows Installer.
#include <gtest/gtest.h>
#include <windows.h>
#include <msi.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/processes.h"
#include "log/log.h"
#include "platform/clock.h"
#include "support.h"

using namespace testsupport;
using std::chrono::seconds;

namespace {

constexpr wchar_t kRuntime64[] = L"{7D0B74C2-C3F8-4AF1-940F-CD79AB4B2DCE}";
constexpr wchar_t kRuntime32[] = L"{0FA68574-690B-4B00-89AA-B28946231449}";

struct JournalLine {
    DWORD pid = 0;
    std::string commandLine;
};

// The lines a stand-in appended to "<its path>.journal".
std::vector<JournalLine> ReadJournal(const std::wstring& program) {
    std::ifstream file(std::filesystem::path(program + L".journal"), std::ios::binary);
    std::vector<JournalLine> lines;
    std::string line;
    while (std::getline(file, line)) {
        const size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        lines.push_back(
            {static_cast<DWORD>(std::stoul(line.substr(0, tab))), line.substr(tab + 1)});
    }
    return lines;
}

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Runs a command line to its end (bounded); its exit code, or -1.
long RunToEnd(std::wstring commandLine) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &info)) {
        return -1;
    }
    DWORD code = static_cast<DWORD>(-1);
    if (::WaitForSingleObject(info.hProcess, 120000) == WAIT_OBJECT_0) {
        ::GetExitCodeProcess(info.hProcess, &code);
    }
    ::CloseHandle(info.hThread);
    ::CloseHandle(info.hProcess);
    return static_cast<long>(code);
}

bool ProductKnown(const wchar_t* productCode) {
    return ::MsiQueryProductStateW(productCode) != INSTALLSTATE_UNKNOWN;
}

void Uninstall(const wchar_t* productCode) {
    if (ProductKnown(productCode)) {
        RunToEnd(L"msiexec.exe /x " + std::wstring(productCode) + L" /qn");
    }
}

// An empty package registered under a runtime's product code, installed by
// Wine's msiexec for the test's lifetime.
class ScopedRuntime {
  public:
    ScopedRuntime(const std::wstring& msi, const wchar_t* productCode) : code_(productCode) {
        exitCode_ = RunToEnd(L"msiexec.exe /i \"" + BinDir() + msi + L"\" /qn");
    }
    ~ScopedRuntime() { Uninstall(code_); }
    bool Installed() const { return exitCode_ == 0 && ProductKnown(code_); }

  private:
    const wchar_t* code_;
    long exitCode_ = -1;
};

class ProcessesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ikx::CreateLogWriter();
        launchDir_ = TempDir(L"launch") + L"a b\\";
        ::CreateDirectoryW(launchDir_.c_str(), nullptr);
        setupDir_ = TempDir(L"pkg") + L"Setup\\";
        ::CreateDirectoryW(setupDir_.c_str(), nullptr);
    }
    void TearDown() override { ikx::DestroyLogWriter(); }

    // A copy of a stand-in under a folder with a blank in its name.
    std::wstring Place(const std::wstring& standIn, const std::wstring& asName) {
        const std::wstring path = launchDir_ + asName;
        ::CopyFileW((BinDir() + standIn).c_str(), path.c_str(), FALSE);
        return path;
    }
    void PlaceInstallers() {
        for (const wchar_t* name : {L"vcredist_x64.exe", L"vcredist_x86.exe"}) {
            ::CopyFileW((BinDir() + name).c_str(), (setupDir_ + name).c_str(), FALSE);
        }
    }

    std::wstring launchDir_;
    std::wstring setupDir_;
};

TEST_F(ProcessesTest, LaunchQuotesPathWithBlanksAndAppendsArguments) {
    const std::wstring program = Place(L"vcredist_x64.exe", L"x.exe");
    ASSERT_NE(launchDir_.find(L' '), std::wstring::npos);
    EXPECT_TRUE(ikx::LaunchCmd(program.c_str(), L"/q"));
    const auto lines = ReadJournal(program);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].commandLine, "\"" + Narrow(program) + "\" /q");
}

TEST_F(ProcessesTest, LaunchWithoutArgumentsPassesOnlyQuotedPath) {
    const std::wstring program = Place(L"vcredist_x64.exe", L"x.exe");
    EXPECT_TRUE(ikx::LaunchCmd(program.c_str(), nullptr));
    const auto lines = ReadJournal(program);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].commandLine, "\"" + Narrow(program) + "\"");
}

TEST_F(ProcessesTest, LaunchSucceedsWhateverTheExitCode) {
    const std::wstring program = Place(L"vcredist_x64.exe", L"x.exe");
    ::SetEnvironmentVariableW(L"IKX_STANDIN_EXIT_CODE", L"1603");
    const bool launched = ikx::LaunchCmd(program.c_str(), L"/q");
    ::SetEnvironmentVariableW(L"IKX_STANDIN_EXIT_CODE", nullptr);
    EXPECT_TRUE(launched);
    EXPECT_EQ(ReadJournal(program).size(), 1u);
}

TEST_F(ProcessesTest, LaunchWithoutProgramIsRefused) {
    LogCollector log;
    EXPECT_FALSE(ikx::LaunchCmd(nullptr, L"/q"));
    EXPECT_FALSE(ikx::LaunchCmd(L"", nullptr));
    EXPECT_TRUE(log.WaitFor("Invalid program name.", seconds(5)));
    EXPECT_EQ(log.Count("Invalid program name."), 2);
}

TEST_F(ProcessesTest, LaunchOfMissingProgramLogsCreateError) {
    LogCollector log;
    EXPECT_FALSE(ikx::LaunchCmd((launchDir_ + L"missing.exe").c_str(), L"/q"));
    EXPECT_TRUE(log.WaitFor("Create process failed. error:2", seconds(5)));
}

TEST_F(ProcessesTest, ProgramOutlivingWaitIsLeftRunning) {
    const std::wstring program = Place(L"sleeper.exe", L"sleeper.exe");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ikx::LaunchCmd(program.c_str(), L"--wait"));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(ikx::ScaledMs(20 * 60 * 1000)) * 9 / 10);
    EXPECT_LT(waited, seconds(60));

    const auto lines = ReadJournal(program);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].commandLine, "\"" + Narrow(program) + "\" --wait");
    HANDLE process = ::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, lines[0].pid);
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(::WaitForSingleObject(process, 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the launcher must not end a program it stopped waiting for";
    ::TerminateProcess(process, 1);
    ::WaitForSingleObject(process, 10000);
    ::CloseHandle(process);
}

TEST_F(ProcessesTest, MissingX64RuntimeRunsX64Installer) {
    Uninstall(kRuntime64);
    PlaceInstallers();
    LogCollector log;
    EXPECT_TRUE(ikx::CheckAndInstallVcRedistributable(setupDir_, true));
    const auto lines = ReadJournal(setupDir_ + L"vcredist_x64.exe");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].commandLine, "\"" + Narrow(setupDir_) + "vcredist_x64.exe\" /q /norestart");
    EXPECT_FALSE(Exists(setupDir_ + L"vcredist_x86.exe.journal"));
    EXPECT_TRUE(log.WaitFor("Start to install VC runtime", seconds(5)));
    EXPECT_FALSE(log.Contains("VC runtime installed"));
}

TEST_F(ProcessesTest, MissingX86RuntimeRunsX86Installer) {
    Uninstall(kRuntime32);
    PlaceInstallers();
    EXPECT_TRUE(ikx::CheckAndInstallVcRedistributable(setupDir_, false));
    const auto lines = ReadJournal(setupDir_ + L"vcredist_x86.exe");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].commandLine, "\"" + Narrow(setupDir_) + "vcredist_x86.exe\" /q /norestart");
    EXPECT_FALSE(Exists(setupDir_ + L"vcredist_x64.exe.journal"));
}

TEST_F(ProcessesTest, MissingRuntimeWithoutInstallerFails) {
    Uninstall(kRuntime64);
    LogCollector log;
    EXPECT_FALSE(ikx::CheckAndInstallVcRedistributable(setupDir_, true));
    EXPECT_TRUE(log.WaitFor("Fail to install VC runtime", seconds(5)));
    EXPECT_TRUE(log.Contains("Create process failed. error:2"));
}

TEST_F(ProcessesTest, PresentX64RuntimeStartsNoInstaller) {
    Uninstall(kRuntime32);
    ScopedRuntime runtime(L"vcruntime_x64.msi", kRuntime64);
    ASSERT_TRUE(runtime.Installed());
    PlaceInstallers();
    LogCollector log;
    EXPECT_FALSE(ikx::CheckAndInstallVcRedistributable(setupDir_, true));
    EXPECT_TRUE(log.WaitFor("VC runtime installed", seconds(5)));
    EXPECT_FALSE(log.Contains("Start to install VC runtime"));
    EXPECT_FALSE(Exists(setupDir_ + L"vcredist_x64.exe.journal"));
    // The 32-bit runtime has its own product code and is still missing.
    EXPECT_TRUE(ikx::CheckAndInstallVcRedistributable(setupDir_, false));
    EXPECT_EQ(ReadJournal(setupDir_ + L"vcredist_x86.exe").size(), 1u);
}

TEST_F(ProcessesTest, PresentX86RuntimeStartsNoInstaller) {
    ScopedRuntime runtime(L"vcruntime_x86.msi", kRuntime32);
    ASSERT_TRUE(runtime.Installed());
    PlaceInstallers();
    LogCollector log;
    EXPECT_FALSE(ikx::CheckAndInstallVcRedistributable(setupDir_, false));
    EXPECT_TRUE(log.WaitFor("VC runtime installed", seconds(5)));
    EXPECT_FALSE(Exists(setupDir_ + L"vcredist_x86.exe.journal"));
}

}  // namespace
