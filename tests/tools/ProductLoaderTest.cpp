// The tools' loader of the product library: the names it looks up are the
// export map's, it gives a working object where the library is found, and an
// error (not an exit) where it is not. Run twice by CTest, with the build's
// library on the loader's path: with the card's library under it
// (ProductLoaderFound.*) and without (ProductLoaderMissing.*).
#include <cxxabi.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <regex>
#include <set>
#include <string>

#include "ProductLoader.h"
#include "TestSupport.h"

namespace {

using kest_tools::ProductLoader;

// The names in the global list of a linker version script.
std::set<std::string> GlobalNames(const std::string& path) {
    const std::string text = kest_test::ReadFile(path);
    const size_t from = text.find("global:"), to = text.find("local:");
    const std::string global = from < to && to != std::string::npos ? text.substr(from, to - from) : "";
    const std::regex name(R"(([A-Za-z_][A-Za-z0-9_]*)\s*;)");
    std::set<std::string> names;
    for (std::sregex_iterator i(global.begin(), global.end(), name), end; i != end; ++i)
        names.insert((*i)[1]);
    return names;
}

std::string Demangled(const char* name) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> text(abi::__cxa_demangle(name, nullptr, nullptr, &status),
                                                std::free);
    return status == 0 ? text.get() : std::string("(not a C++ name: ") + name + ")";
}

TEST(ProductLoader, LooksUpTheFactoryByTheNamesTheExportMapExports) {
    const std::set<std::string> exported = GlobalNames(KEST_EXPORTS_MAP);
    ASSERT_FALSE(exported.empty()) << "no global names read from " << KEST_EXPORTS_MAP;
    EXPECT_EQ(exported.count(ProductLoader::kCreateSymbol), 1u) << ProductLoader::kCreateSymbol;
    EXPECT_EQ(exported.count(ProductLoader::kDestroySymbol), 1u) << ProductLoader::kDestroySymbol;
    EXPECT_EQ(Demangled(ProductLoader::kCreateSymbol), "CKestShfeMdApi::CreateKestShfeMdApi()");
    EXPECT_EQ(Demangled(ProductLoader::kDestroySymbol),
              "CKestShfeMdApi::DestroyKestShfeMdApi(CKestShfeMdApi&)");
}

// The library writes its log in the working directory: a scratch one.
class InScratchDirectory : public ::testing::Test {
    kest_test::ScopedTempDir dir_;
};

using ProductLoaderFound = InScratchDirectory;
using ProductLoaderMissing = InScratchDirectory;

TEST_F(ProductLoaderFound, CreatesObjectsOfTheLibraryAndGivesThemBack) {
    std::string error = "stale";
    CKestShfeMdApi* a = ProductLoader::Create(error);
    ASSERT_NE(a, nullptr) << error;
    EXPECT_EQ(error, "");
    EXPECT_TRUE(ProductLoader::Loaded());
    CKestShfeMdApi* b = ProductLoader::Create(error);
    ASSERT_NE(b, nullptr) << error;
    EXPECT_NE(a, b) << "each call makes an object of its own";
    // The library's own object answers: a null path is refused, no card touched.
    EXPECT_EQ(a->KestStart(nullptr), -1);
    ProductLoader::Destroy(a);
    ProductLoader::Destroy(b);
    ProductLoader::Destroy(nullptr);
    // The object came from the library the loader opened, not from this program.
    Dl_info where;
    void* const create =
        dlsym(dlopen(ProductLoader::kLibrary, RTLD_NOW | RTLD_NOLOAD), ProductLoader::kCreateSymbol);
    ASSERT_NE(create, nullptr);
    ASSERT_NE(dladdr(create, &where), 0);
    EXPECT_NE(std::string(where.dli_fname).find("libKestShfeMdApi.so.1"), std::string::npos)
        << where.dli_fname;
    EXPECT_EQ(dlsym(RTLD_DEFAULT, ProductLoader::kCreateSymbol), nullptr)
        << "this program defines the factory itself";
}

TEST_F(ProductLoaderMissing, SaysInOneLineWhatIsMissingAndReturns) {
    void* card = dlopen("libenyx-hw-c.so.5", RTLD_NOW | RTLD_LOCAL);
    if (card != nullptr) {
        dlclose(card);
        GTEST_SKIP() << "this host's loader finds a libenyx-hw-c.so.5 of its own";
    }
    std::string error;
    EXPECT_EQ(ProductLoader::Create(error), nullptr);
    EXPECT_NE(error.find("cannot load the card's library: "), std::string::npos) << error;
    EXPECT_NE(error.find("libenyx-hw-c.so.5: cannot open shared object file"), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << "one line: " << error;
    EXPECT_FALSE(ProductLoader::Loaded());
    // Asked again, the same answer; giving back nothing does nothing.
    std::string again;
    EXPECT_FALSE(ProductLoader::Load(again));
    EXPECT_EQ(again, error);
    ProductLoader::Destroy(nullptr);
}

}  // namespace
