// The MSI's service step, TovixSetupActions.dll: deferred custom actions that
// Windows Installer runs as SYSTEM (never impersonating the user). Each runs
// the installed Tovix.exe with one switch, "--install-service" or
// "--uninstall-service", and puts the switch's exit code and its line on
// standard error into the installer's log, so that a refusal reads there as
// the switch words it. The action's data (CustomActionData) is the full path
// of the installed Tovix.exe, set by the package itself. The installer's
// custom action thread.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>

namespace {

// Longer than Tovix.exe's own wait for TovixService.exe (60 s).
constexpr DWORD kSwitchDeadlineMs = 120000;

class MsiRecord {
 public:
  explicit MsiRecord(UINT fields) : handle_(MsiCreateRecord(fields)) {}
  ~MsiRecord() { MsiCloseHandle(handle_); }
  MsiRecord(const MsiRecord&) = delete;
  MsiRecord& operator=(const MsiRecord&) = delete;
  MSIHANDLE get() const { return handle_; }

 private:
  MSIHANDLE handle_;
};

class Handle {
 public:
  Handle() = default;
  ~Handle() { reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return handle_; }
  HANDLE* put() { return &handle_; }
  void reset() {
    if (handle_) CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_ = nullptr;
};

std::wstring ActionData(MSIHANDLE install) {
  wchar_t probe[1] = L"";
  DWORD size = 0;
  if (MsiGetPropertyW(install, L"CustomActionData", probe, &size) != ERROR_MORE_DATA) return {};
  std::wstring value(++size, L'\0');
  if (MsiGetPropertyW(install, L"CustomActionData", value.data(), &size) != ERROR_SUCCESS) {
    return {};
  }
  value.resize(size);
  return value;
}

// One message of `kind` holding `text`, which is shown as it is (field 0
// formats field 1, so brackets in the text are not read as properties).
void Tell(MSIHANDLE install, INSTALLMESSAGE kind, const std::wstring& text) {
  const MsiRecord record(1);
  MsiRecordSetStringW(record.get(), 0, L"[1]");
  MsiRecordSetStringW(record.get(), 1, text.c_str());
  MsiProcessMessage(install, kind, record.get());
}

std::wstring FromUtf8(const std::string& text) {
  if (text.empty()) return {};
  std::wstring wide(text.size(), L'\0');
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         wide.data(), static_cast<int>(wide.size()));
  wide.resize(length > 0 ? length : 0);
  return wide;
}

// Runs `program` with `argument`, handing it only the write end of a pipe as
// its standard output and error; the exit code, and in `said` what it wrote.
// False when it could not be started or did not finish in time.
bool RunSwitch(const std::wstring& program, const wchar_t* argument, DWORD& code,
               std::wstring& said) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  Handle readEnd, writeEnd;
  if (!CreatePipe(readEnd.put(), writeEnd.put(), &inherit, 65536)) return false;
  SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
  // The installer's own inheritable handles stay with it.
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::string attributeBuffer(size, '\0');
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeBuffer.data());
  HANDLE inherited = writeEnd.get();
  if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size)) return false;
  const bool listed = UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                                &inherited, sizeof(inherited), nullptr, nullptr);
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof(startup);
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdOutput = writeEnd.get();
  startup.StartupInfo.hStdError = writeEnd.get();
  startup.lpAttributeList = attributes;
  std::wstring commandLine = L"\"" + program + L"\" " + argument;
  PROCESS_INFORMATION process{};
  const bool started =
      listed && CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                               CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                               &startup.StartupInfo, &process);
  DeleteProcThreadAttributeList(attributes);
  if (!started) {
    said = L"could not be started: error " + std::to_wstring(GetLastError());
    return false;
  }
  CloseHandle(process.hThread);
  writeEnd.reset();
  const bool finished = WaitForSingleObject(process.hProcess, kSwitchDeadlineMs) == WAIT_OBJECT_0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  if (!finished) {
    said = L"did not finish in time";
    return false;
  }
  // Only what is there: a program it started may hold the pipe open longer.
  DWORD available = 0;
  std::string bytes;
  if (PeekNamedPipe(readEnd.get(), nullptr, 0, nullptr, &available, nullptr) && available > 0) {
    bytes.resize(available);
    DWORD read = 0;
    ReadFile(readEnd.get(), bytes.data(), available, &read, nullptr);
    bytes.resize(read);
  }
  while (!bytes.empty() && (bytes.back() == '\n' || bytes.back() == '\r')) bytes.pop_back();
  said = FromUtf8(bytes);
  return true;
}

UINT Step(MSIHANDLE install, const wchar_t* argument) {
  const std::wstring program = ActionData(install);
  DWORD code = 1;
  std::wstring said = L"no program given";
  const bool ran = !program.empty() && RunSwitch(program, argument, code, said);
  std::wstring line = L"Tovix.exe " + std::wstring(argument);
  line += ran ? L": exit code " + std::to_wstring(code) : std::wstring();
  if (!said.empty()) line += L": " + said;
  if (ran && code == 0) {
    Tell(install, INSTALLMESSAGE_INFO, line);
    return ERROR_SUCCESS;
  }
  // Logged, and shown to whoever watches an install with a user interface.
  Tell(install, INSTALLMESSAGE(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR), line);
  return ERROR_INSTALL_FAILURE;
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall InstallTovixService(MSIHANDLE install) {
  return Step(install, L"--install-service");
}

extern "C" __declspec(dllexport) UINT __stdcall UninstallTovixService(MSIHANDLE install) {
  return Step(install, L"--uninstall-service");
}
