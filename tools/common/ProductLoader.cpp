#include "ProductLoader.h"

#include <dlfcn.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "CardLibrary.h"
#include "KestShfeMdApi.h"

namespace {

using CreateFn = CKestShfeMdApi& (*)();
using DestroyFn = void (*)(CKestShfeMdApi&);

struct Product {
    std::once_flag once;
    std::string error;
    CreateFn create = nullptr;
    DestroyFn destroy = nullptr;
    // Release: stored once by the thread that loads, in Load(); acquire: read
    // by any thread in Loaded() and in the factory functions.
    std::atomic<bool> ready{false};
};

Product& State() {
    static Product product;
    return product;
}

// A program that skipped Load() gets the same one line, then stops.
Product& LoadedOrExit() {
    std::string error;
    if (!kest_tools::ProductLibrary::Load(error)) {
        std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, error.c_str());
        std::exit(kest_tools::kNoCardLibraryExit);
    }
    return State();
}

}  // namespace

namespace kest_tools {

bool ProductLibrary::Load(std::string& error) {
    Product& p = State();
    std::call_once(p.once, [&p] {
        // One library per process, loaded until the process ends.
        void* handle = dlopen("libKestShfeMdApi.so.1", RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            const char* why = dlerror();
            p.error = NoCardLibraryMessage(why != nullptr ? why : "libKestShfeMdApi.so.1 not found");
            return;
        }
        // The exported factory functions, by their C++ names.
        p.create = reinterpret_cast<CreateFn>(dlsym(handle, "_ZN14CKestShfeMdApi19CreateKestShfeMdApiEv"));
        p.destroy =
            reinterpret_cast<DestroyFn>(dlsym(handle, "_ZN14CKestShfeMdApi20DestroyKestShfeMdApiERS_"));
        if (p.create == nullptr || p.destroy == nullptr) {
            p.error =
                "libKestShfeMdApi.so.1 exports no CKestShfeMdApi::CreateKestShfeMdApi or "
                "DestroyKestShfeMdApi";
            return;
        }
        p.ready.store(true, std::memory_order_release);
    });
    error = p.error;
    return p.ready.load(std::memory_order_acquire);
}

bool ProductLibrary::Loaded() { return State().ready.load(std::memory_order_acquire); }

bool RequireProductLibrary(const char* tool) {
    std::string error;
    if (ProductLibrary::Load(error)) return true;
    std::fprintf(stderr, "%s: %s\n", tool, error.c_str());
    return false;
}

}  // namespace kest_tools

CKestShfeMdApi& CKestShfeMdApi::CreateKestShfeMdApi() { return LoadedOrExit().create(); }

void CKestShfeMdApi::DestroyKestShfeMdApi(CKestShfeMdApi& api) { LoadedOrExit().destroy(api); }
