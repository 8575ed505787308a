// The stand-in embedder's engine, view controller, view and plugin
// registrars. Engines are created on the host's window thread, which plays
// the platform thread: the view window runs every task the UI session hands
// in, so channel messages reach the host there, as with the real engine.
// Never part of the product.
#include <windows.h>
#include <shellscalingapi.h>

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "channels/embedder_api.h"
#include "stand-ins/flutter_windows/standin_messenger.h"
#include "stand-ins/flutter_windows/ui_session.h"

namespace {

// Engines alive in this process (window thread); the transcript closes with the last.
int liveEngines = 0;

constexpr wchar_t kViewClass[] = L"TovixStandinFlutterView";
constexpr wchar_t kHolderClass[] = L"TovixStandinViewHolder";
// Posted to the view window: run queued tasks / draw a frame.
constexpr UINT kRunTasksMessage = WM_APP + 1;
constexpr UINT kRenderMessage = WM_APP + 2;

std::wstring ReadEnvironment(const wchar_t* name) {
  DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) return {};
  std::wstring value(size, L'\0');
  DWORD written = GetEnvironmentVariableW(name, value.data(), size);
  if (written == 0 || written >= size) return {};
  value.resize(written);
  return value;
}

std::filesystem::path ExecutableFolder() {
  std::wstring path(32768, L'\0');
  DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  if (length == 0 || length >= path.size()) return {};
  path.resize(length);
  return std::filesystem::path(path).parent_path();
}

// Relative project paths are resolved against the executable's folder.
std::filesystem::path ResolveProjectPath(const std::wstring& path) {
  std::filesystem::path p(path);
  if (p.is_absolute()) return p;
  return ExecutableFolder() / p;
}

}  // namespace

struct FlutterDesktopPluginRegistrar {
  FlutterDesktopEngine* engine;
};

struct FlutterDesktopView {
  FlutterDesktopViewController* controller;
};

struct FlutterDesktopEngine {
  std::wstring assetsPath;
  std::vector<std::string> arguments;
  FlutterDesktopMessengerRef messenger = nullptr;
  std::map<std::string, std::unique_ptr<FlutterDesktopPluginRegistrar>> registrars;

  struct Delegate {
    FlutterDesktopWindowProcCallback function;
    void* userData;
  };
  std::vector<Delegate> delegates;

  VoidCallback nextFrame = nullptr;
  void* nextFrameData = nullptr;
  bool framed = false;

  FlutterDesktopViewController* controller = nullptr;
  std::unique_ptr<UiSession> session;

  std::mutex tasksMutex;  // guards tasks and taskWindow; taken by the script thread too
  std::vector<std::function<void()>> tasks;
  HWND taskWindow = nullptr;

  ~FlutterDesktopEngine() {
    if (session) session->Stop();
    // Drops the send hook (which points at the session) and every callback.
    StandinMessengerSetUnavailable(messenger);
    {
      std::lock_guard<std::mutex> lock(tasksMutex);
      taskWindow = nullptr;
      tasks.clear();
    }
    session.reset();
    FlutterDesktopMessengerRelease(messenger);
    if (--liveEngines == 0) TranscriptOpen(std::wstring());
  }

  bool PostTask(std::function<void()> task) {
    std::lock_guard<std::mutex> lock(tasksMutex);
    if (taskWindow == nullptr) return false;
    tasks.push_back(std::move(task));
    return PostMessageW(taskWindow, kRunTasksMessage, 0, 0) != FALSE;
  }

  void RunTasks() {
    std::vector<std::function<void()>> ready;
    {
      std::lock_guard<std::mutex> lock(tasksMutex);
      ready.swap(tasks);
    }
    for (auto& task : ready) task();
  }

  // One frame has been drawn: fire the pending next-frame callback, then
  // let the UI session begin after the first one.
  void OnFrameDrawn() {
    if (nextFrame != nullptr) {
      VoidCallback callback = nextFrame;
      void* data = nextFrameData;
      nextFrame = nullptr;
      nextFrameData = nullptr;
      TranscriptWrite("frame");
      callback(data);
    }
    if (!framed) {
      framed = true;
      if (session) session->Start();
    }
  }
};

struct FlutterDesktopViewController {
  FlutterDesktopEngine* engine = nullptr;
  FlutterDesktopView view{this};
  HWND holder = nullptr;
  HWND window = nullptr;
};

namespace {

void DrawFrame(HWND window, HDC dc) {
  RECT client{};
  GetClientRect(window, &client);
  HBRUSH brush = CreateSolidBrush(RGB(0x10, 0x7a, 0x8a));
  FillRect(dc, &client, brush);
  DeleteObject(brush);
}

LRESULT CALLBACK ViewProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* controller =
      reinterpret_cast<FlutterDesktopViewController*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (controller == nullptr || controller->engine == nullptr) {
    return DefWindowProcW(window, message, wparam, lparam);
  }
  FlutterDesktopEngine* engine = controller->engine;
  switch (message) {
    case kRunTasksMessage:
      engine->RunTasks();
      return 0;
    case kRenderMessage: {
      HDC dc = GetDC(window);
      if (dc != nullptr) {
        DrawFrame(window, dc);
        ReleaseDC(window, dc);
      }
      engine->OnFrameDrawn();
      return 0;
    }
    case WM_PAINT: {
      PAINTSTRUCT paint{};
      HDC dc = BeginPaint(window, &paint);
      if (dc != nullptr) DrawFrame(window, dc);
      EndPaint(window, &paint);
      engine->OnFrameDrawn();
      return 0;
    }
    case WM_SIZE:
      PostMessageW(window, kRenderMessage, 0, 0);
      return 0;
    case WM_ERASEBKGND:
      return 1;
    default:
      return DefWindowProcW(window, message, wparam, lparam);
  }
}

void RegisterClasses(HINSTANCE instance) {
  WNDCLASSW view{};
  view.lpfnWndProc = ViewProc;
  view.hInstance = instance;
  view.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  view.lpszClassName = kViewClass;
  RegisterClassW(&view);  // fails harmlessly when already registered
  WNDCLASSW holder{};
  holder.lpfnWndProc = DefWindowProcW;
  holder.hInstance = instance;
  holder.lpszClassName = kHolderClass;
  RegisterClassW(&holder);
}

HINSTANCE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&ViewProc), &module);
  return module;
}

}  // namespace

FlutterDesktopEngineRef FlutterDesktopEngineCreate(const FlutterDesktopEngineProperties* properties) {
  if (properties == nullptr) return nullptr;
  auto engine = std::make_unique<FlutterDesktopEngine>();
  engine->assetsPath = properties->assets_path != nullptr ? properties->assets_path : L"";
  for (int i = 0; i < properties->dart_entrypoint_argc && properties->dart_entrypoint_argv != nullptr; ++i) {
    const char* argument = properties->dart_entrypoint_argv[i];
    engine->arguments.emplace_back(argument != nullptr ? argument : "");
  }
  engine->messenger = StandinMessengerCreate();
  ++liveEngines;

  TranscriptOpen(ReadEnvironment(L"TOVIX_UI_TRANSCRIPT"));
  std::string line = "engine args=" + std::to_string(engine->arguments.size());
  for (const std::string& argument : engine->arguments) line += " " + argument;
  TranscriptWrite(line);

  FlutterDesktopEngine* raw = engine.get();
  engine->session = std::make_unique<UiSession>(
      engine->messenger, ReadEnvironment(L"TOVIX_UI_SCRIPT"),
      [raw](std::function<void()> task) { return raw->PostTask(std::move(task)); },
      [raw] {
        if (raw->controller == nullptr || raw->controller->window == nullptr) return;
        PostMessageW(GetAncestor(raw->controller->window, GA_ROOT), WM_CLOSE, 0, 0);
      });
  UiSession* session = engine->session.get();
  StandinMessengerSetSendHook(engine->messenger,
                              [session](const std::string& channel, const std::vector<uint8_t>& message,
                                        StandinReplyFunction reply) {
                                session->OnHostSend(channel, message);
                                // The UI answers nothing it was not asked about.
                                if (reply) reply({});
                              });
  return engine.release();
}

bool FlutterDesktopEngineDestroy(FlutterDesktopEngineRef engine) {
  delete engine;
  return true;
}

FlutterDesktopMessengerRef FlutterDesktopEngineGetMessenger(FlutterDesktopEngineRef engine) {
  return engine != nullptr ? engine->messenger : nullptr;
}

FlutterDesktopPluginRegistrarRef FlutterDesktopEngineGetPluginRegistrar(FlutterDesktopEngineRef engine,
                                                                        const char* plugin_name) {
  if (engine == nullptr || plugin_name == nullptr) return nullptr;
  TranscriptWrite(std::string("plugin ") + plugin_name);
  auto& registrar = engine->registrars[plugin_name];
  if (!registrar) registrar = std::make_unique<FlutterDesktopPluginRegistrar>(FlutterDesktopPluginRegistrar{engine});
  return registrar.get();
}

void FlutterDesktopEngineSetNextFrameCallback(FlutterDesktopEngineRef engine, VoidCallback callback,
                                              void* user_data) {
  if (engine == nullptr) return;
  engine->nextFrame = callback;
  engine->nextFrameData = user_data;
}

void FlutterDesktopEngineReloadSystemFonts(FlutterDesktopEngineRef) {}

FlutterDesktopViewControllerRef FlutterDesktopViewControllerCreate(int width, int height,
                                                                   FlutterDesktopEngineRef engine) {
  if (engine == nullptr) return nullptr;
  std::error_code error;
  // The engine cannot start without its assets; it is gone with the failure,
  // as its ownership passed to this call.
  if (!std::filesystem::is_directory(ResolveProjectPath(engine->assetsPath), error)) {
    delete engine;
    return nullptr;
  }
  HINSTANCE instance = ThisModule();
  RegisterClasses(instance);
  auto controller = std::make_unique<FlutterDesktopViewController>();
  controller->holder = CreateWindowExW(0, kHolderClass, L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                       instance, nullptr);
  if (controller->holder == nullptr) {
    delete engine;
    return nullptr;
  }
  controller->window = CreateWindowExW(0, kViewClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, 0,
                                       0, width > 0 ? width : 1, height > 0 ? height : 1,
                                       controller->holder, nullptr, instance, nullptr);
  if (controller->window == nullptr) {
    DestroyWindow(controller->holder);
    delete engine;
    return nullptr;
  }
  controller->engine = engine;
  engine->controller = controller.get();
  SetWindowLongPtrW(controller->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(controller.get()));
  {
    std::lock_guard<std::mutex> lock(engine->tasksMutex);
    engine->taskWindow = controller->window;
  }
  // The engine draws its first frame on its own once it runs.
  PostMessageW(controller->window, kRenderMessage, 0, 0);
  return controller.release();
}

void FlutterDesktopViewControllerDestroy(FlutterDesktopViewControllerRef controller) {
  if (controller == nullptr) return;
  FlutterDesktopEngine* engine = controller->engine;
  SetWindowLongPtrW(controller->window, GWLP_USERDATA, 0);
  delete engine;  // stops the session first, then the messenger
  DestroyWindow(controller->window);
  DestroyWindow(controller->holder);
  delete controller;
}

FlutterDesktopViewRef FlutterDesktopViewControllerGetView(FlutterDesktopViewControllerRef controller) {
  return controller != nullptr ? &controller->view : nullptr;
}

void FlutterDesktopViewControllerForceRedraw(FlutterDesktopViewControllerRef controller) {
  if (controller != nullptr) PostMessageW(controller->window, kRenderMessage, 0, 0);
}

bool FlutterDesktopViewControllerHandleTopLevelWindowProc(FlutterDesktopViewControllerRef controller,
                                                          HWND hwnd, UINT message, WPARAM wparam,
                                                          LPARAM lparam, LRESULT* result) {
  if (controller == nullptr || controller->engine == nullptr) return false;
  // A delegate may unregister itself while it runs: iterate over a copy.
  std::vector<FlutterDesktopEngine::Delegate> delegates = controller->engine->delegates;
  for (const auto& delegate : delegates) {
    LRESULT delegateResult = 0;
    if (delegate.function(hwnd, message, wparam, lparam, delegate.userData, &delegateResult)) {
      if (result != nullptr) *result = delegateResult;
      return true;
    }
  }
  return false;
}

HWND FlutterDesktopViewGetHWND(FlutterDesktopViewRef view) {
  return view != nullptr ? view->controller->window : nullptr;
}

UINT FlutterDesktopGetDpiForMonitor(HMONITOR monitor) {
  UINT dpiX = 0;
  UINT dpiY = 0;
  if (monitor != nullptr && SUCCEEDED(GetDpiForMonitor(monitor, MDT_EFFECTIVE_DPI, &dpiX, &dpiY)) && dpiX != 0) {
    return dpiX;
  }
  return 96;
}

void FlutterDesktopPluginRegistrarRegisterTopLevelWindowProcDelegate(
    FlutterDesktopPluginRegistrarRef registrar, FlutterDesktopWindowProcCallback delegate, void* user_data) {
  if (registrar == nullptr || delegate == nullptr) return;
  registrar->engine->delegates.push_back({delegate, user_data});
}

void FlutterDesktopPluginRegistrarUnregisterTopLevelWindowProcDelegate(
    FlutterDesktopPluginRegistrarRef registrar, FlutterDesktopWindowProcCallback delegate) {
  if (registrar == nullptr) return;
  auto& delegates = registrar->engine->delegates;
  for (auto it = delegates.begin(); it != delegates.end();) {
    it = it->function == delegate ? delegates.erase(it) : it + 1;
  }
}
