// libtessarc.so exports its public API and nothing else: every defined dynamic symbol must be declared with TQ_API in
// the library's public headers (or belong to a class so marked), and every such declaration must be exported. Read from
// the dynamic symbol table of the loaded library (nm -D).
#include <gtest/gtest.h>

#include <ctype.h>
#include <cxxabi.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <iterator>
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
    // Names declared with the mark: for a class the word after it, for a function or datum the last word before its
    // "(", "[" or ";". (Plain scanning: std::regex draws maybe-uninitialized warnings under the sanitizers.)
    std::set<std::string> api, classes;
    auto isWord = [](char c) { return isalnum(static_cast<unsigned char>(c)) || c == '_'; };
    for (const char *header : {"/runtime/include/tessarc/runtime.h", "/server/include/tessarc/server.h",
                               "/server/include/tessarc/metrics.h"}) {
        const std::string text = readFile(std::string(TQ_SOURCE_DIR) + header);
        for (size_t at = text.find("TQ_API "); at != std::string::npos; at = text.find("TQ_API ", at + 1)) {
            if (at > 0 && (isWord(text[at - 1]) || text.compare(text.rfind('\n', at) + 1, 7, "#define") == 0))
                continue;
            if (at >= 6 && text.compare(at - 6, 6, "class ") == 0) {
                size_t b = at + 7, e = b;
                while (e < text.size() && isWord(text[e]))
                    ++e;
                classes.insert("Tessarc::" + text.substr(b, e - b));
                continue;
            }
            size_t end = text.find_first_of("([;{", at);
            size_t e = end;
            while (e > at && !isWord(text[e - 1]))
                --e;
            size_t b = e;
            while (b > at && isWord(text[b - 1]))
                --b;
            api.insert(text.substr(b, e - b));
        }
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
        // AddressSanitizer builds export an ODR marker beside each exported datum.
        std::string name = symbol;
        if (name.rfind("__odr_asan.", 0) == 0)
            name = name.substr(strlen("__odr_asan."));
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
