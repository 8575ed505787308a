// Installing, running and removing the service under Wine, through the real
// programs: TovixService.exe --install / --uninstall, Tovix.exe
// --install-service / --uninstall-service, and the service manager. Each
// test works on a scratch copy of the programs. The service lives while this
// test process does (Wine ends its services with the last user process).
#include "service/service_install.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>
#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/unique_resource.h"
#include "protocol/service_setup.h"
#include "service/folders/admin_only_security.h"
#include "service/folders/vpn_folder.h"
#include "support/effective_access.h"
#include "support/scratch_folder.h"

namespace fs = std::filesystem;
using tovix::service_setup::kServiceName;

namespace {

constexpr DWORD kProgramDeadlineMs = 30000;
constexpr auto kStateDeadline = std::chrono::seconds(10);

using tovix::UniqueServiceHandle;

fs::path BuiltProgram(const wchar_t* name) {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  return fs::path(self).parent_path() / name;
}

struct Finished {
  DWORD exitCode = STILL_ACTIVE;
  std::string error;  // what it wrote on standard error
};

Finished RunProgram(const fs::path& program, const std::wstring& argument) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  tovix::UniqueHandle readEnd, writeEnd;
  EXPECT_TRUE(CreatePipe(readEnd.put(), writeEnd.put(), &inherit, 65536));
  SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdError = writeEnd.get();
  std::wstring commandLine = L"\"" + program.native() + L"\" " + argument;
  PROCESS_INFORMATION process{};
  Finished finished;
  if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                      nullptr, &startup, &process)) {
    ADD_FAILURE() << "start " << program << ": " << GetLastError();
    return finished;
  }
  tovix::UniqueHandle processHandle(process.hProcess), thread(process.hThread);
  writeEnd.reset();
  EXPECT_EQ(WaitForSingleObject(processHandle.get(), kProgramDeadlineMs), WAIT_OBJECT_0);
  GetExitCodeProcess(processHandle.get(), &finished.exitCode);
  // Only what is there: a helper that inherited the pipe keeps it open.
  DWORD available = 0;
  if (PeekNamedPipe(readEnd.get(), nullptr, 0, nullptr, &available, nullptr) && available > 0) {
    finished.error.resize(available);
    DWORD read = 0;
    ReadFile(readEnd.get(), finished.error.data(), available, &read, nullptr);
    finished.error.resize(read);
  }
  return finished;
}

UniqueServiceHandle OpenOurService(DWORD access, DWORD& error) {
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueServiceHandle service(OpenServiceW(manager.get(), kServiceName, access));
  error = service ? 0 : GetLastError();
  return service;
}

bool Registered() {
  DWORD error = 0;
  const UniqueServiceHandle service = OpenOurService(SERVICE_QUERY_STATUS, error);
  EXPECT_TRUE(service || error == ERROR_SERVICE_DOES_NOT_EXIST) << error;
  return static_cast<bool>(service);
}

// Polls until the service reports `state`; its status then, or nullopt.
std::optional<SERVICE_STATUS_PROCESS> AwaitState(SC_HANDLE service, DWORD state) {
  const auto deadline = std::chrono::steady_clock::now() + kStateDeadline;
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  while (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                              sizeof(status), &needed)) {
    if (status.dwCurrentState == state) return status;
    if (std::chrono::steady_clock::now() > deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return std::nullopt;
}

// The program name of the Windows parent of `pid` (Toolhelp).
std::wstring ParentName(DWORD pid) {
  tovix::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  std::vector<PROCESSENTRY32W> all;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    all.push_back(entry);
  }
  for (const PROCESSENTRY32W& child : all) {
    if (child.th32ProcessID != pid) continue;
    for (const PROCESSENTRY32W& parent : all) {
      if (parent.th32ProcessID == child.th32ParentProcessID) return parent.szExeFile;
    }
  }
  return {};
}

std::string Line(std::string_view text) { return std::string(text) + "\r\n"; }

class ServiceInstall : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(UninstallService(kStateDeadline), tovix::service_setup::Outcome::Done);
  }
  void TearDown() override { UninstallService(kStateDeadline); }

  // `name` in a scratch folder whose name has a space (the binary path must
  // be quoted), a copy of the built program `from`.
  fs::path Place(const ScratchFolder& folder, const wchar_t* from, const wchar_t* name) {
    const fs::path to = folder.path() / name;
    fs::copy_file(BuiltProgram(from), to);
    return to;
  }

  // Tovix.exe with the libraries it loads.
  fs::path PlaceTovix(const ScratchFolder& folder) {
    for (const auto& entry : fs::directory_iterator(BuiltProgram(L"Tovix.exe").parent_path())) {
      if (entry.path().extension() == L".dll")
        fs::copy_file(entry.path(), folder.path() / entry.path().filename());
    }
    return Place(folder, L"Tovix.exe", L"Tovix.exe");
  }
};

TEST_F(ServiceInstall, RegistersRunsUnderTheServiceManagerAndLeavesNothingWhenRemoved) {
  const ScratchFolder first(L"tovix service-"), second(L"tovix service-");
  const fs::path earlier = Place(first, L"TovixServiceUnderTest.exe", L"TovixService.exe");
  const fs::path program = Place(second, L"TovixServiceUnderTest.exe", L"TovixService.exe");
  ASSERT_EQ(RunProgram(earlier, L"--install").exitCode, 0u);
  // Installing again, from elsewhere, makes the registration point here.
  const Finished installed = RunProgram(program, L"--install");
  ASSERT_EQ(installed.exitCode, 0u) << installed.error;
  EXPECT_EQ(installed.error, "");

  DWORD error = 0;
  // Closed before the removal: a service is deleted once no handle is left.
  std::optional<UniqueServiceHandle> opened =
      OpenOurService(SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_START, error);
  const UniqueServiceHandle& service = *opened;
  ASSERT_TRUE(service) << error;
  std::vector<BYTE> buffer(8192);
  DWORD needed = 0;
  ASSERT_TRUE(QueryServiceConfigW(service.get(),
                                  reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()),
                                  static_cast<DWORD>(buffer.size()), &needed));
  const auto* config = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data());
  EXPECT_EQ(std::wstring(config->lpBinaryPathName), L"\"" + program.native() + L"\"");
  EXPECT_EQ(config->dwServiceType, DWORD{SERVICE_WIN32_OWN_PROCESS});
  EXPECT_EQ(config->dwStartType, DWORD{SERVICE_DEMAND_START});
  EXPECT_EQ(std::wstring(config->lpServiceStartName), L"LocalSystem");
  EXPECT_EQ(std::wstring(config->lpDisplayName), L"Tovix VPN service");

  ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr)) << GetLastError();
  const std::optional<SERVICE_STATUS_PROCESS> running = AwaitState(service.get(), SERVICE_RUNNING);
  ASSERT_TRUE(running);
  EXPECT_EQ(ParentName(running->dwProcessId), L"services.exe");
  const tovix::UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, running->dwProcessId));
  ASSERT_TRUE(process);
  opened.reset();

  const Finished removed = RunProgram(program, L"--uninstall");
  EXPECT_EQ(removed.exitCode, 0u) << removed.error;
  EXPECT_EQ(WaitForSingleObject(process.get(), 0), WAIT_OBJECT_0)
      << "the service's process lives on";
  EXPECT_FALSE(Registered());
  EXPECT_EQ(RunProgram(program, L"--uninstall").exitCode, 0u);
}

TEST_F(ServiceInstall, RefusesAFolderOthersCanChange) {
  const ScratchFolder folder(L"tovix service-");
  const Finished refused =
      RunProgram(Place(folder, L"TovixService.exe", L"TovixService.exe"), L"--install");
  EXPECT_EQ(refused.exitCode, 1u);
  EXPECT_EQ(refused.error, Line(tovix::service_setup::kFolderMessage));
  EXPECT_FALSE(Registered());
}

TEST_F(ServiceInstall, ServiceStopsAtStartWhenItsFolderOthersCanChange) {
  const ScratchFolder folder(L"tovix service-");
  const fs::path program = Place(folder, L"TovixService.exe", L"TovixService.exe");
  // Registered behind the install's back, as if the folder had been opened
  // up since.
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  const std::wstring binaryPath = L"\"" + program.native() + L"\"";
  UniqueServiceHandle service(
      CreateServiceW(manager.get(), kServiceName, kServiceName, SERVICE_ALL_ACCESS,
                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                     binaryPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  ASSERT_TRUE(service) << GetLastError();
  StartServiceW(service.get(), 0, nullptr);
  const std::optional<SERVICE_STATUS_PROCESS> stopped = AwaitState(service.get(), SERVICE_STOPPED);
  ASSERT_TRUE(stopped);
  EXPECT_EQ(stopped->dwWin32ExitCode, DWORD{ERROR_SERVICE_SPECIFIC_ERROR});
  EXPECT_EQ(stopped->dwServiceSpecificExitCode,
            static_cast<DWORD>(tovix::service_setup::Outcome::FolderNotAdminOnly));
}

TEST_F(ServiceInstall, TovixSwitchesInstallAndRemoveThroughTheProgramBesideIt) {
  const ScratchFolder folder(L"tovix service-");
  const fs::path tovix = PlaceTovix(folder);
  Place(folder, L"TovixServiceUnderTest.exe", L"TovixService.exe");
  const Finished installed = RunProgram(tovix, L"--install-service");
  EXPECT_EQ(installed.exitCode, 0u) << installed.error;
  EXPECT_TRUE(Registered());
  const Finished removed = RunProgram(tovix, L"--uninstall-service");
  EXPECT_EQ(removed.exitCode, 0u) << removed.error;
  EXPECT_FALSE(Registered());
}

TEST_F(ServiceInstall, TovixSwitchPassesTheRefusalOn) {
  const ScratchFolder folder(L"tovix service-");
  const fs::path tovix = PlaceTovix(folder);
  const Finished missing = RunProgram(tovix, L"--install-service");
  EXPECT_EQ(missing.exitCode, 1u);
  EXPECT_EQ(missing.error, Line("TovixService.exe is missing beside Tovix.exe"));
  Place(folder, L"TovixService.exe", L"TovixService.exe");
  const Finished refused = RunProgram(tovix, L"--install-service");
  EXPECT_EQ(refused.exitCode, 1u);
  EXPECT_EQ(refused.error, Line(tovix::service_setup::kFolderMessage));
  EXPECT_FALSE(Registered());
}

// A "Kelpmarrow" in ProgramData that a user made first and holds open (no
// delete sharing) cannot be moved aside: the install fails, and says which.
TEST_F(ServiceInstall, ACompanyFolderInTheWayFailsTheInstall) {
  const ScratchFolder folder(L"tovix service-");
  const fs::path company = CommonAppDataFolder() / L"Kelpmarrow";
  std::error_code ignored;
  fs::remove_all(company, ignored);
  ASSERT_TRUE(fs::create_directory(company));
  tovix::UniqueFileHandle held(CreateFileW(company.c_str(), FILE_LIST_DIRECTORY,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  const Finished refused =
      RunProgram(Place(folder, L"TovixServiceUnderTest.exe", L"TovixService.exe"), L"--install");
  EXPECT_EQ(refused.exitCode, 6u);
  EXPECT_EQ(refused.error, Line(MessageOf(tovix::service_setup::Outcome::CompanyFolderInTheWay)));
  held.reset();
  fs::remove_all(company, ignored);
}

TEST(ServiceDescriptor, InteractiveUsersMayStartAndQueryOnly) {
  // Wine takes the descriptor and keeps nothing of it (it reads back an
  // empty DACL), so what is given to the service manager is checked here.
  using namespace effective_access;
  const tovix::UniqueLocalMemory descriptor = MakeServiceDescriptor();
  EXPECT_EQ(EffectiveAccess(descriptor.get(), kSystem, kServiceMapping), SERVICE_ALL_ACCESS);
  EXPECT_EQ(EffectiveAccess(descriptor.get(), kAdministrator, kServiceMapping), SERVICE_ALL_ACCESS);
  EXPECT_EQ(EffectiveAccess(descriptor.get(), kInteractiveUser, kServiceMapping),
            static_cast<ACCESS_MASK>(SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_START));
  EXPECT_EQ(EffectiveAccess(descriptor.get(), kEveryoneOnly, kServiceMapping), 0u);
}

}  // namespace
