// The launcher and the vcredist runtime step, with real child processes (the
// stand-ins journal their command line) and Wine's real Windows Installer.
#include "common/processes.h"
#include "in_process.h"
#include "platform/clock.h"

using namespace testsupport;
using std::chrono::seconds;

namespace {

constexpr wchar_t kRuntime64[] = L"{7D0B74C2-C3F8-4AF1-940F-CD79AB4B2DCE}";
constexpr wchar_t kRuntime32[] = L"{0FA68574-690B-4B00-89AA-B28946231449}";

TEST_F(ProcessesTest, LaunchQuotesThePathAndSucceedsWhateverTheExitCode) {
    const std::wstring program = Place(L"vcredist_x64.exe");
    ::SetEnvironmentVariableW(L"IKX_STANDIN_EXIT_CODE", L"1603");
    EXPECT_TRUE(ikx::LaunchCmd(program.c_str(), L"/q"));
    ::SetEnvironmentVariableW(L"IKX_STANDIN_EXIT_CODE", nullptr);
    EXPECT_EQ(TakeJournal(program), "\"" + Narrow(program) + "\" /q");
    EXPECT_TRUE(ikx::LaunchCmd(program.c_str(), nullptr));
    EXPECT_EQ(TakeJournal(program), "\"" + Narrow(program) + "\"");

    EXPECT_FALSE(ikx::LaunchCmd(nullptr, L"/q"));
    EXPECT_FALSE(ikx::LaunchCmd(L"", nullptr));
    EXPECT_FALSE(ikx::LaunchCmd((launchDir_ + L"missing.exe").c_str(), L"/q"));
    EXPECT_TRUE(log.WaitFor("Create process failed. error:2", seconds(5)));
    EXPECT_EQ(log.Count("Invalid program name."), 2);
}

TEST_F(ProcessesTest, ProgramOutlivingWaitIsLeftRunning) {
    const std::wstring program = Place(L"sleeper.exe");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ikx::LaunchCmd(program.c_str(), L"--wait"));
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
        EXPECT_TRUE(ikx::CheckAndInstallVcRedistributable(setupDir_, x64));
        EXPECT_EQ(TakeJournal(installer), "\"" + Narrow(installer) + "\" /q /norestart");
        EXPECT_EQ(TakeJournal(Installer(!x64)), "0 lines");
        EXPECT_TRUE(log.WaitFor("Start to install VC runtime", seconds(5)));

        // Installed through Wine's Windows Installer, the runtime needs no installer.
        const std::wstring msi = BinDir() + (x64 ? L"vcruntime_x64.msi" : L"vcruntime_x86.msi");
        ASSERT_EQ(::MsiInstallProductW(msi.c_str(), L""), UINT(ERROR_SUCCESS));
        log.Clear();
        EXPECT_FALSE(ikx::CheckAndInstallVcRedistributable(setupDir_, x64));
        EXPECT_TRUE(log.WaitFor("VC runtime installed", seconds(5)));
        EXPECT_FALSE(log.Contains("Start to install VC runtime"));
        EXPECT_EQ(TakeJournal(installer), "0 lines");
        // The other runtime has its own product code and is still missing.
        EXPECT_TRUE(ikx::CheckAndInstallVcRedistributable(setupDir_, !x64));
        EXPECT_EQ(TakeJournal(Installer(!x64)),
                  "\"" + Narrow(Installer(!x64)) + "\" /q /norestart");
        UninstallProduct(x64 ? kRuntime64 : kRuntime32);
    }
    ::DeleteFileW(Installer(true).c_str());
    EXPECT_FALSE(ikx::CheckAndInstallVcRedistributable(setupDir_, true));
    EXPECT_TRUE(log.WaitFor("Fail to install VC runtime", seconds(5)));
    EXPECT_TRUE(log.Contains("Create process failed. error:2"));
}

}  // namespace
