// The card's library, libenyx-hw-c.so.5, loaded when a tool first needs the
// card rather than by the loader at start: a tool then answers --help,
// --version and completion on a host without the card's library, and says in
// one line where to get it when it does need the card. The product library
// keeps its own link to it; only the tools load it this way.
#pragma once

#include <string>

namespace kest_tools {

// Exit status of a tool that needs the card and cannot load its library.
constexpr int kNoCardLibraryExit = 1;

// Where the card model's package installs its libenyx-hw-c.so.5.
inline const char* ModelLibraryDir() { return KEST_MODEL_LIBRARY_DIR; }

// The one line a tool prints when the library (or the card's library under
// it) cannot be loaded; why: the loader's own words.
inline std::string NoCardLibraryMessage(const std::string& why) {
    return "cannot load the card's library: " + why +
           ". With a card, install the card vendor's libenyx-hw-c.so.5; to run over the card model, start "
           "with LD_LIBRARY_PATH=" +
           ModelLibraryDir() + " (package kestshfemdapi-cardsim)";
}

class CardLibrary {
public:
    // Loads libenyx-hw-c.so.5 once (visible to later look-ups by name); true
    // when it is there, else error holds the loader's message.
    static bool Load(std::string& error);
    // The file the loader took it from ("libenyx-hw-c.so.5" before a load).
    static std::string Path();
    // The address of one of its functions; a tool that reaches the card
    // without Load() first gets the one-line message and exits here.
    static void* Symbol(const char* name);
};

}  // namespace kest_tools
