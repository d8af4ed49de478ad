// Loads a plug-in module from its file with the platform's dynamic loader and finds its two entry points.
#include "host/host.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace vbhost {

namespace {

#if defined(_WIN32)
std::string lastErrorText() {
    const DWORD code = GetLastError();
    char *text = nullptr;
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string message = n && text ? std::string(text, n) : "error " + std::to_string(code);
    if (text) LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
    return message;
}
#endif

}  // namespace

Module::Module(const std::string &path) {
#if defined(_WIN32)
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        error_ = "cannot load plug-in module " + path + ": " + lastErrorText();
        return;
    }
    handle_ = module;
    auto find = [module](const char *name) { return reinterpret_cast<void *>(GetProcAddress(module, name)); };
#else
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char *why = dlerror();
        error_ = "cannot load plug-in module " + path + ": " + (why ? why : "unknown reason");
        return;
    }
    void *module = handle_;
    auto find = [module](const char *name) { return dlsym(module, name); };
#endif
    void *main = find("EffectMain");
    void *entry = find("PluginDataEntryFunction");
    if (main == nullptr || entry == nullptr) {
        error_ = "plug-in module " + path + " lacks the entry point " +
                 (main == nullptr ? "EffectMain" : "PluginDataEntryFunction");
        if (main == nullptr && entry == nullptr) error_ += " and PluginDataEntryFunction";
        return;
    }
    main_ = reinterpret_cast<PF_EffectMainFunc>(main);
    entry_ = reinterpret_cast<PF_PluginDataEntryFunc>(entry);
}

Module::~Module() {
    if (handle_ == nullptr) return;
#if defined(_WIN32)
    FreeLibrary(static_cast<HMODULE>(handle_));
#else
    dlclose(handle_);
#endif
}

bool Module::ok() const { return main_ != nullptr && entry_ != nullptr; }
const std::string &Module::error() const { return error_; }
PF_EffectMainFunc Module::effect_main() const { return main_; }
PF_PluginDataEntryFunc Module::entry() const { return entry_; }

}  // namespace vbhost
