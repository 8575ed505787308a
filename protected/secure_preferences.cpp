// The "kelpmarrow.secure/preferences" handler: one settings document kept in
// <dataDir>\preferences.dpapi through ProtectedFile. Runs on the window
// thread, where the messenger delivers every call; keeps no state.
#include "protected/secure_preferences.h"

#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "channels/secure_wipe.h"
#include "common/paths.h"
#include "common/plain_folder.h"
#include "protected/protected_file.h"

namespace {

// What the call is answered with. Decided inside the error guard and sent
// after it, so that a failure while replying can never cause a second reply.
struct Reply {
  enum class Kind { kDocument, kNull, kBadPayload, kNotImplemented, kUnavailable } kind;
  std::string document;
};

Reply Handle(const flutter::MethodCall& call) {
  try {
    // Computed for every call, before the name is looked at: a data folder
    // that cannot be created answers even an unknown method with an error.
    const std::filesystem::path file = dataDir() / L"preferences.dpapi";
    const std::string& method = call.method_name();
    if (method == "read") {
      std::optional<std::string> document = ProtectedFile::Read(file);
      if (!document) return {Reply::Kind::kNull, {}};
      return {Reply::Kind::kDocument, std::move(*document)};
    }
    if (method == "write") {
      const flutter::EncodableValue* arguments = call.arguments();
      const std::string* document = arguments ? std::get_if<std::string>(arguments) : nullptr;
      if (!document) return {Reply::Kind::kBadPayload, {}};
      RequirePlainDataFolder(file.parent_path());
      ProtectedFile::Write(file, *document);
      return {Reply::Kind::kNull, {}};
    }
    return {Reply::Kind::kNotImplemented, {}};
  } catch (...) {
    // Whatever failed (data folder, DPAPI, files, memory), the UI gets the one
    // generic answer; the reason is not passed on.
    return {Reply::Kind::kUnavailable, {}};
  }
}

}  // namespace

void SecurePreferencesHandler(const flutter::MethodCall& call,
                              std::unique_ptr<flutter::MethodResult> result) {
  Reply reply = Handle(call);
  switch (reply.kind) {
    case Reply::Kind::kDocument: {
      // The document is wiped once it is sent (the encoded answer is wiped
      // by the result itself).
      struct WipeOnExit {
        flutter::EncodableValue value;
        std::string& moved;
        ~WipeOnExit() {
          flutter::WipeEncodableValue(value);
          flutter::WipeString(moved);  // what a short document left behind
        }
      } document{flutter::EncodableValue(std::move(reply.document)), reply.document};
      result->Success(document.value);
      break;
    }
    case Reply::Kind::kNull:
      result->Success();
      break;
    case Reply::Kind::kBadPayload:
      result->Error("bad_payload", "Expected settings document");
      break;
    case Reply::Kind::kNotImplemented:
      result->NotImplemented();
      break;
    case Reply::Kind::kUnavailable:
      result->Error("secure_storage", "Windows protected settings unavailable");
      break;
  }
}
