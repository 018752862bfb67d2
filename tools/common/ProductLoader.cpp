#include "ProductLoader.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <type_traits>

#include "CardLibrary.h"
#include "KestShfeMdApi.h"

namespace kest_tools {

namespace {

using CreateFn = CKestShfeMdApi& (*)();
using DestroyFn = void (*)(CKestShfeMdApi&);
// The names looked up are those of these declarations: a changed signature
// in the interface fails here, a changed name in the export map fails its test.
static_assert(std::is_same<decltype(&CKestShfeMdApi::CreateKestShfeMdApi), CreateFn>::value,
              "the factory's signature is not the one looked up");
static_assert(std::is_same<decltype(&CKestShfeMdApi::DestroyKestShfeMdApi), DestroyFn>::value,
              "the destroyer's signature is not the one looked up");

struct Product {
    std::once_flag once;
    std::string error;
    CreateFn create = nullptr;
    DestroyFn destroy = nullptr;
    // Release: stored once by the thread that loads, in Load(); acquire: read
    // by any thread in Loaded(), Create() and Destroy().
    std::atomic<bool> ready{false};
};

Product& State() {
    static Product product;
    return product;
}

// The factory answers out of memory with a reference at address 0; the
// compiler may assume a reference never is, so the address is tested through
// a volatile.
bool IsNull(CKestShfeMdApi& api) {
    volatile uintptr_t address = reinterpret_cast<uintptr_t>(&api);
    return address == 0;
}

}  // namespace

bool ProductLoader::Load(std::string& error) {
    Product& p = State();
    std::call_once(p.once, [&p] {
        void* handle = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            const char* why = dlerror();
            p.error = NoCardLibraryMessage(why != nullptr ? why : std::string(kLibrary) + " not found");
            return;
        }
        p.create = reinterpret_cast<CreateFn>(dlsym(handle, kCreateSymbol));
        p.destroy = reinterpret_cast<DestroyFn>(dlsym(handle, kDestroySymbol));
        if (p.create == nullptr || p.destroy == nullptr) {
            p.error = std::string(kLibrary) +
                      " exports no CKestShfeMdApi::CreateKestShfeMdApi or DestroyKestShfeMdApi: not the "
                      "KestShfeMdApi library this program was built for";
            return;
        }
        p.ready.store(true, std::memory_order_release);
    });
    error = p.error;
    return p.ready.load(std::memory_order_acquire);
}

bool ProductLoader::Loaded() { return State().ready.load(std::memory_order_acquire); }

CKestShfeMdApi* ProductLoader::Create(std::string& error) {
    if (!Load(error)) return nullptr;
    CKestShfeMdApi& api = State().create();
    if (IsNull(api)) {
        error = "out of memory: the library could not allocate its object";
        return nullptr;
    }
    error.clear();
    return &api;
}

void ProductLoader::Destroy(CKestShfeMdApi* api) {
    // An object exists only once the library is loaded.
    if (api == nullptr || !Loaded()) return;
    State().destroy(*api);
}

}  // namespace kest_tools
