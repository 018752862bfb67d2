// libKestShfeMdApi.so.1 loaded at run time by the programs built on its
// public interface (kest-md-recv, the Python module): CKestShfeMdApi's
// factory functions are defined here and call the library's own, so such a
// program does not need the library, nor the card's library under it, to
// start. Load() before the first CreateKestShfeMdApi().
#pragma once

#include <string>

#include "CardLibrary.h"

namespace kest_tools {

class ProductLibrary {
public:
    // Loads the library once; true when it and the card's library under it
    // are there, else error holds one line saying what is missing and where
    // to get it.
    static bool Load(std::string& error);
    // Whether Load() has succeeded in this process.
    static bool Loaded();
};

// Load() for a tool: false after printing "TOOL: <the one line>" on stderr.
bool RequireProductLibrary(const char* tool);

}  // namespace kest_tools
