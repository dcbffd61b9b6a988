#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace skirmish::testing {

// A folder of the test's own, removed with everything in it at the end.
struct TempDir {
    TempDir() { path = mkdtemp(name) ? name : ""; }
    ~TempDir() { std::filesystem::remove_all(path, ignored); }
    char name[32] = "/tmp/skirmish-test-XXXXXX";
    std::error_code ignored;
    std::string path;
};

} // namespace skirmish::testing
