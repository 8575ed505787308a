// Times "write" and "read" of a 4 MiB settings document through
// SecurePreferencesHandler, the way a channel message travels (encode the
// call, decode it, handle it, encode the reply), beside bare
// CryptProtectData / CryptUnprotectData of the same bytes in the same run.
// Uses the real data folder; an existing "preferences.dpapi" is put back.
#include <windows.h>
#include <wincrypt.h>
#include <dpapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "channels/method_call.h"
#include "channels/method_result.h"
#include "channels/standard_codec.h"
#include "common/paths.h"
#include "common/unique_resource.h"
#include "protected/secure_preferences.h"

namespace fs = std::filesystem;
using flutter::EncodableValue;

namespace {

constexpr std::size_t kDocumentBytes = 4194304;
constexpr int kRounds = 7;

// Encodes the reply as the messenger would send it back.
class EncodingResult : public flutter::MethodResult {
 public:
  explicit EncodingResult(std::vector<uint8_t>* reply) : reply_(reply) {}

 protected:
  void SuccessInternal(const EncodableValue* result) override {
    *reply_ = *flutter::StandardMethodCodec::GetInstance().EncodeSuccessEnvelope(result);
  }
  void ErrorInternal(const std::string& code, const std::string& message,
                     const EncodableValue* details) override {
    *reply_ = *flutter::StandardMethodCodec::GetInstance().EncodeErrorEnvelope(code, message,
                                                                                details);
  }
  void NotImplementedInternal() override { reply_->clear(); }

 private:
  std::vector<uint8_t>* reply_;
};

std::vector<uint8_t> Roundtrip(const std::string& method, std::optional<std::string> document) {
  const auto& codec = flutter::StandardMethodCodec::GetInstance();
  flutter::MethodCall outgoing(
      method, std::make_unique<EncodableValue>(document ? EncodableValue(std::move(*document))
                                                        : EncodableValue()));
  std::unique_ptr<std::vector<uint8_t>> message = codec.EncodeMethodCall(outgoing);
  std::unique_ptr<flutter::MethodCall> incoming =
      codec.DecodeMethodCall(message->data(), message->size());
  std::vector<uint8_t> reply;
  SecurePreferencesHandler(*incoming, std::make_unique<EncodingResult>(&reply));
  return reply;
}

// Median wall time of kRounds runs, in milliseconds.
double MedianMs(const std::function<void()>& work) {
  std::vector<double> times;
  for (int i = 0; i < kRounds; ++i) {
    auto start = std::chrono::steady_clock::now();
    work();
    times.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

std::vector<BYTE> Protect(const std::string& data) {
  DATA_BLOB in{static_cast<DWORD>(data.size()),
               reinterpret_cast<BYTE*>(const_cast<char*>(data.data()))};
  DATA_BLOB out{};
  if (!CryptProtectData(&in, L"Kelpmarrow settings", nullptr, nullptr, nullptr,
                        CRYPTPROTECT_UI_FORBIDDEN, &out)) {
    std::fprintf(stderr, "CryptProtectData failed: %lu\n", GetLastError());
    std::exit(1);
  }
  tovix::UniqueLocalMemory owned(out.pbData);
  return std::vector<BYTE>(out.pbData, out.pbData + out.cbData);
}

std::size_t Unprotect(std::vector<BYTE>& blob) {
  DATA_BLOB in{static_cast<DWORD>(blob.size()), blob.data()};
  DATA_BLOB out{};
  if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                          &out)) {
    std::fprintf(stderr, "CryptUnprotectData failed: %lu\n", GetLastError());
    std::exit(1);
  }
  std::size_t size = out.cbData;
  SecureZeroMemory(out.pbData, out.cbData);
  LocalFree(out.pbData);
  return size;
}

void Print(const char* name, double ms, const char* baselineName, double baselineMs) {
  const double mib = kDocumentBytes / 1048576.0;
  std::printf("%-6s %9.1f ms %8.1f MiB/s   | %-18s %9.1f ms %8.1f MiB/s   ratio %.2f\n", name, ms,
              mib / (ms / 1000), baselineName, baselineMs, mib / (baselineMs / 1000),
              ms / baselineMs);
}

}  // namespace

int main() {
  const fs::path file = dataDir() / L"preferences.dpapi";
  std::optional<std::string> saved;
  if (fs::exists(file)) {
    std::ifstream in(file, std::ios::binary);
    saved.emplace(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  std::string document(kDocumentBytes, '\0');
  for (std::size_t i = 0; i < document.size(); ++i) {
    document[i] = static_cast<char>("{\"key\":\"value\",}0123456789 "[i % 27]);
  }

  std::vector<uint8_t> reply;
  double writeMs = MedianMs([&] { reply = Roundtrip("write", document); });
  bool writeOk = reply.size() == 2 && reply[0] == 0 && reply[1] == 0;  // success, null
  double readMs = MedianMs([&] { reply = Roundtrip("read", std::nullopt); });
  bool readOk = reply.size() > kDocumentBytes && reply[0] == 0;

  std::vector<BYTE> blob;
  double protectMs = MedianMs([&] { blob = Protect(document); });
  std::size_t plain = 0;
  double unprotectMs = MedianMs([&] { plain = Unprotect(blob); });

  std::printf("4 MiB settings document, median of %d runs\n", kRounds);
  Print("write", writeMs, "CryptProtectData", protectMs);
  Print("read", readMs, "CryptUnprotectData", unprotectMs);

  if (saved) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << *saved;
  } else {
    fs::remove(file);
  }
  if (!writeOk || !readOk || plain != kDocumentBytes) {
    std::fprintf(stderr, "unexpected replies: write %d read %d plain %zu\n", writeOk, readOk,
                 plain);
    return 1;
  }
  return 0;
}
