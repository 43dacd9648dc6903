// libtessarc.so exports its public API and nothing else: every defined
// dynamic symbol must be declared with TQ_API in the library's public headers
// (or belong to a class so marked), and every such declaration must be
// exported. Read from the ELF dynamic symbol table of the loaded library.
#include <gtest/gtest.h>

#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tessarc/runtime.h"

namespace {

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << path;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Defined symbols of the .dynsym table of the shared object at `path`.
std::vector<std::string> dynamicSymbols(const std::string &path)
{
    const std::string image = readFile(path);
    const char *base = image.data();
    const auto *ehdr = reinterpret_cast<const Elf64_Ehdr *>(base);
    const auto *shdr = reinterpret_cast<const Elf64_Shdr *>(base + ehdr->e_shoff);
    std::vector<std::string> names;
    for (unsigned i = 0; i < ehdr->e_shnum; ++i) {
        if (shdr[i].sh_type != SHT_DYNSYM)
            continue;
        const char *strings = base + shdr[shdr[i].sh_link].sh_offset;
        const auto *sym = reinterpret_cast<const Elf64_Sym *>(base + shdr[i].sh_offset);
        for (size_t k = 0; k < shdr[i].sh_size / sizeof(Elf64_Sym); ++k)
            if (sym[k].st_shndx != SHN_UNDEF && ELF64_ST_BIND(sym[k].st_info) != STB_LOCAL)
                names.push_back(strings + sym[k].st_name);
    }
    return names;
}

std::string demangle(const std::string &name)
{
    int status = 0;
    char *text = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
    std::string out = status == 0 ? text : name;
    free(text);
    return out;
}

} // namespace

TEST(Exports, LibraryExportsExactlyWhatThePublicHeadersMark)
{
    // Names declared with the mark: functions, data and classes.
    std::set<std::string> api, classes;
    const std::regex declared(R"((?:\n|extern )TQ_API\s[^;{]*?\b(\w+)\s*[(\[;])"), marked(R"(class\s+TQ_API\s+(\w+))");
    for (const char *header : {"/runtime/include/tessarc/runtime.h", "/server/include/tessarc/server.h"}) {
        const std::string text = readFile(std::string(TQ_SOURCE_DIR) + header);
        for (std::sregex_iterator m(text.begin(), text.end(), declared), end; m != end; ++m)
            api.insert((*m)[1]);
        for (std::sregex_iterator m(text.begin(), text.end(), marked), end; m != end; ++m)
            classes.insert("Tessarc::" + (*m)[1].str());
    }
    ASSERT_TRUE(api.count("TQ_log") && api.count("g_TQ_LOG") && api.count("c_TQ_TimeMonths") &&
                api.count("initMallocAllocator") && classes.count("Tessarc::Error"))
        << "header parse";

    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void *>(&TQ_getLastError), &info), 0);
    std::set<std::string> exported;
    for (const std::string &name : dynamicSymbols(info.dli_fname)) {
        exported.insert(name);
        if (api.count(name))
            continue;
        // typeinfo, vtable and members of a marked class.
        std::string cxx = demangle(name);
        for (const char *prefix : {"typeinfo name for ", "typeinfo for ", "vtable for "})
            if (cxx.rfind(prefix, 0) == 0)
                cxx = cxx.substr(strlen(prefix));
        bool member = false;
        for (const std::string &c : classes)
            member = member || cxx == c || cxx.rfind(c + "::", 0) == 0;
        EXPECT_TRUE(member) << info.dli_fname << " exports " << demangle(name) << ", which is not public API";
    }
    for (const std::string &name : api)
        EXPECT_TRUE(exported.count(name)) << name << " is declared public but not exported";
}
