// The product library, libKestShfeMdApi.so.1, loaded at run time by the
// programs built on its public interface (kest-md-recv, the Python module
// kest): such a program answers --help and imports on a host without the
// library or the card's library under it, and says in one line what is
// missing when it needs them. The library's factory is reached through its
// exported names only; nothing here defines a symbol of the library.
#pragma once

#include <string>

#include "KestShfeMdApi.h"

namespace kest_tools {

class ProductLoader {
public:
    static constexpr const char* kLibrary = "libKestShfeMdApi.so.1";
    // The factory's exported names, as the library's export map writes them
    // (a test holds these to src/exports.map).
    static constexpr const char* kCreateSymbol = "_ZN14CKestShfeMdApi19CreateKestShfeMdApiEv";
    static constexpr const char* kDestroySymbol = "_ZN14CKestShfeMdApi20DestroyKestShfeMdApiERS_";

    // Loads the library once per process (it stays loaded until the process
    // ends): true when it, the card's library under it and the factory are
    // there, else error holds one line saying what is missing and where to
    // get it. Later calls give the first call's answer.
    static bool Load(std::string& error);
    // Whether Load() has succeeded in this process.
    static bool Loaded();
    // A new object from the library's factory, loading the library first:
    // null when it cannot be loaded or the factory had no memory, with error
    // saying which in one line.
    static CKestShfeMdApi* Create(std::string& error);
    // Hands an object from Create back to the library's factory; null does nothing.
    static void Destroy(CKestShfeMdApi* api);
};

}  // namespace kest_tools
