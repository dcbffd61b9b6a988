#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace skirmish::testing {

// A folder of the test's own, removed with everything in it at the end.
struct TempDir {
    TempDir()
    {
        char name[] = "/tmp/skirmish-test-XXXXXX";
        path = mkdtemp(name) ? name : "";
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string path;
};

} // namespace skirmish::testing
