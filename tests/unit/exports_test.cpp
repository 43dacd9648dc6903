// libtessarc.so exports its public API and nothing else: every defined
// dynamic symbol must be declared with TQ_API in the library's public headers
// (or belong to a class so marked), and every such declaration must be
// exported. Read from the dynamic symbol table of the loaded library (nm -D).
#include <gtest/gtest.h>

#include <cxxabi.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>

#include "tessarc/runtime.h"

namespace {

std::string readFile(const std::string &path)
{
    std::ifstream in(path);
    EXPECT_TRUE(in.good()) << path;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string demangle(const char *name)
{
    int status = 0;
    char *text = abi::__cxa_demangle(name, nullptr, nullptr, &status);
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
    for (const char *header : {"/runtime/include/tessarc/runtime.h", "/server/include/tessarc/server.h",
                               "/server/include/tessarc/metrics.h"}) {
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
    FILE *nm = popen(("nm -D --defined-only " + std::string(info.dli_fname)).c_str(), "r");
    ASSERT_NE(nm, nullptr);
    char symbol[1024];
    while (fscanf(nm, "%*s %*s %1023s", symbol) == 1) {
        const std::string name = symbol;
        exported.insert(name);
        if (api.count(name))
            continue;
        // typeinfo, vtable and members of a marked class.
        std::string cxx = demangle(symbol);
        for (const char *prefix : {"typeinfo name for ", "typeinfo for ", "vtable for "})
            if (cxx.rfind(prefix, 0) == 0)
                cxx = cxx.substr(strlen(prefix));
        bool member = false;
        for (const std::string &c : classes)
            member = member || cxx == c || cxx.rfind(c + "::", 0) == 0;
        EXPECT_TRUE(member) << info.dli_fname << " exports " << demangle(symbol) << ", which is not public API";
    }
    EXPECT_EQ(pclose(nm), 0);
    for (const std::string &name : api)
        EXPECT_TRUE(exported.count(name)) << name << " is declared public but not exported";
}
