// Every test process gets its own settings and temporary folders, removed at the end.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    namespace fs = std::filesystem;
    std::string base = (fs::temp_directory_path() / "tresmo-tests-XXXXXX").string();
    if (!mkdtemp(base.data())) return 2;
    fs::create_directories(base + "/config");
    fs::create_directories(base + "/tmp");
    setenv("TRESMO_CONFIG_DIR", (base + "/config").c_str(), 1);
    setenv("TMPDIR", (base + "/tmp").c_str(), 1);
    unsetenv("XDG_RUNTIME_DIR");  // so temporary copies go under TMPDIR too
    int rc = RUN_ALL_TESTS();
    std::error_code ec;
    fs::remove_all(base, ec);
    return rc;
}
