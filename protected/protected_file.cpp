// Whole-file store protected with DPAPI for the current user, replaced
// atomically through a ".pending-<pid>" sibling. Stateless; runs on the
// window thread (settings) and on the core's output reader (reports).
#include "protected/protected_file.h"

#include <windows.h>
#include <wincrypt.h>
#include <dpapi.h>

#include <stdexcept>
#include <system_error>
#include <vector>

#include "common/unique_resource.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kLargestData = 4194304;  // 4 MiB of plain bytes
constexpr std::uintmax_t kLargestFile = 8388608;  // 8 MiB of protected bytes
constexpr wchar_t kDescription[] = L"Kelpmarrow settings";

std::vector<unsigned char> Protect(std::string_view data) {
  // DPAPI refuses a null pointer even with length 0: point at a byte.
  unsigned char empty = 0;
  DATA_BLOB in{};
  in.cbData = static_cast<DWORD>(data.size());
  in.pbData = data.empty() ? &empty
                           : reinterpret_cast<BYTE*>(const_cast<char*>(data.data()));
  DATA_BLOB out{};
  if (!CryptProtectData(&in, kDescription, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                        &out)) {
    throw std::runtime_error("Could not protect settings");
  }
  tovix::UniqueLocalMemory owned(out.pbData);
  return std::vector<unsigned char>(out.pbData, out.pbData + out.cbData);
}

std::wstring PendingPath(const fs::path& path) {
  return path.native() + L".pending-" + std::to_wstring(GetCurrentProcessId());
}

// Writes, flushes and closes the temporary file; false on any failure. The
// handle is closed here, explicitly: a by-value parameter may live until the
// end of the caller's full expression, which holds the rename.
bool WriteWhole(tovix::UniqueFileHandle& file, const std::vector<unsigned char>& blob) {
  DWORD written = 0;
  bool ok = WriteFile(file.get(), blob.data(), static_cast<DWORD>(blob.size()), &written,
                      nullptr) &&
            written == blob.size() && FlushFileBuffers(file.get());
  file.reset();
  return ok;
}

}  // namespace

namespace ProtectedFile {

void Write(const fs::path& path, std::string_view data) {
  if (data.size() > kLargestData) throw std::runtime_error("Settings too large");
  const std::vector<unsigned char> blob = Protect(data);

  const fs::path folder = path.parent_path();
  if (!folder.empty()) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) throw fs::filesystem_error("create_directories", folder, ec);
  }

  const std::wstring pending = PendingPath(path);
  tovix::UniqueFileHandle file(CreateFileW(pending.c_str(), GENERIC_WRITE, 0, nullptr,
                                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) throw std::runtime_error("Could not save protected settings");

  if (WriteWhole(file, blob) &&
      MoveFileExW(pending.c_str(), path.c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return;
  }
  DeleteFileW(pending.c_str());
  throw std::runtime_error("Could not commit protected settings");
}

std::optional<std::string> Read(const fs::path& path) {
  std::error_code ec;
  fs::file_status status = fs::status(path, ec);
  if (status.type() == fs::file_type::not_found) return std::nullopt;
  if (ec) throw std::runtime_error("Protected settings unavailable");

  const std::uintmax_t size = fs::file_size(path, ec);
  if (ec) throw fs::filesystem_error("file_size", path, ec);
  if (size == 0 || size > kLargestFile) throw std::runtime_error("Invalid protected settings");

  // Read with every sharing flag, as a stream would: a reader never locks
  // the writer of another process out.
  std::vector<unsigned char> buffer(static_cast<std::size_t>(size));
  {
    tovix::UniqueFileHandle file(CreateFileW(
        path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) throw std::runtime_error("Could not read protected settings");
    std::size_t done = 0;
    while (done < buffer.size()) {
      DWORD read = 0;
      if (!ReadFile(file.get(), buffer.data() + done, static_cast<DWORD>(buffer.size() - done),
                    &read, nullptr) ||
          read == 0) {
        throw std::runtime_error("Could not read protected settings");
      }
      done += read;
    }
  }

  DATA_BLOB in{};
  in.cbData = static_cast<DWORD>(buffer.size());
  in.pbData = buffer.data();
  DATA_BLOB out{};
  if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                          &out)) {
    throw std::runtime_error("Could not unlock protected settings");
  }
  // The plain text is wiped before its buffer goes back, on every path.
  struct WipeAndFree {
    DATA_BLOB& blob;
    ~WipeAndFree() {
      SecureZeroMemory(blob.pbData, blob.cbData);
      LocalFree(blob.pbData);
    }
  } wipe{out};
  return std::string(reinterpret_cast<const char*>(out.pbData), out.cbData);
}

}  // namespace ProtectedFile
