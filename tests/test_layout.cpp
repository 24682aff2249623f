// The shape of the sources: folders include only the folders below them (the
// picture in the README), the Windows records stay in the driver, the
// processor is asked in one place, and no source file outside tests/ grows
// past 600 lines. Read from the source tree, so checked once, natively.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#if !defined(_WIN32)
namespace {
namespace fs = std::filesystem;

// What each folder may include besides itself.
const std::map<std::string, std::set<std::string>> allowed = {
    {"platform", {}},
    {"picture", {"platform"}},
    {"huffman", {"platform"}},
    {"colour", {"picture", "platform"}},
    {"codec", {"picture", "huffman", "colour", "platform"}},
    {"driver", {"codec", "picture", "colour", "platform"}},
    {"tools", {"codec", "picture", "platform"}},
    {"bench", {"codec", "picture", "huffman", "colour", "platform"}},
    {"fuzz", {"tools", "driver", "codec", "picture", "huffman", "colour", "platform", "tests"}},
};

struct Source {
    std::string folder; // first folder under the source tree
    std::string path;   // relative to it
    std::vector<std::string> lines;
};

std::vector<Source> Sources()
{
    std::vector<Source> sources;
    const fs::path root = KESTRUN_SOURCE_DIR;
    for (const auto& [folder, ignored] : allowed) {
        if (!fs::exists(root / folder)) continue;
        for (const auto& entry : fs::recursive_directory_iterator(root / folder)) {
            const std::string extension = entry.path().extension().string();
            if (!entry.is_regular_file() || (extension != ".h" && extension != ".cpp")) continue;
            Source source{folder, fs::relative(entry.path(), root).string(), {}};
            std::ifstream in(entry.path());
            for (std::string line; std::getline(in, line);) source.lines.push_back(line);
            sources.push_back(std::move(source));
        }
    }
    return sources;
}

// The folder an include names: its first component, or the includer's own.
std::string IncludedFolder(const std::string& include, const std::string& own)
{
    const std::size_t slash = include.find('/');
    return slash == std::string::npos ? own : include.substr(0, slash);
}

class Layout : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!fs::exists(fs::path(KESTRUN_SOURCE_DIR) / "codec")) GTEST_SKIP() << "no source tree at " << KESTRUN_SOURCE_DIR;
        sources = Sources();
        ASSERT_GT(sources.size(), 50u);
    }
    std::vector<Source> sources;
};

TEST_F(Layout, FoldersIncludeOnlyFoldersBelowThem)
{
    const std::regex include(R"re(^\s*#\s*include\s*"([^"]+)")re");
    std::map<std::string, std::set<std::string>> graph;
    for (const Source& source : sources)
        for (const std::string& line : source.lines) {
            std::smatch match;
            if (!std::regex_search(line, match, include)) continue;
            const std::string target = IncludedFolder(match[1], source.folder);
            EXPECT_EQ(match[1].str().find(".."), std::string::npos) << source.path << ": " << line;
            if (target == source.folder) continue;
            graph[source.folder].insert(target);
            EXPECT_TRUE(allowed.at(source.folder).count(target)) << source.path << " includes upward: " << line;
        }
    // No folder reaches itself again through others.
    for (const auto& [start, ignored] : graph) {
        std::set<std::string> seen;
        std::vector<std::string> open(graph[start].begin(), graph[start].end());
        while (!open.empty()) {
            const std::string folder = open.back();
            open.pop_back();
            ASSERT_NE(folder, start) << "the include graph has a cycle through " << start;
            if (seen.insert(folder).second) open.insert(open.end(), graph[folder].begin(), graph[folder].end());
        }
    }
}

TEST_F(Layout, WindowsRecordsStayInTheDriverAndTheProcessorIsAskedOnce)
{
    const std::regex record(R"(\b(BITMAPINFOHEADER|ICCOMPRESS|ICDECOMPRESS|LRESULT|ICERR_\w+)\b)");
    // The fuzz targets that drive DriverProc, and their support, speak to the driver.
    const std::set<std::string> driverSide = {"fuzz/fuzz_driver.h", "fuzz/fuzz_driver_decompress.cpp",
                                              "fuzz/fuzz_messages.cpp", "fuzz/fuzz_round_trip.cpp",
                                              "fuzz/make_corpus.cpp"};
    for (const Source& source : sources) {
        const bool mayProbe = source.path == "platform/cpu.cpp";
        const bool mayUseRecords =
            source.folder == "driver" || source.folder == "platform" || driverSide.count(source.path) != 0;
        for (std::size_t n = 0; n < source.lines.size(); ++n) {
            const std::string& line = source.lines[n];
            if (!mayUseRecords)
                EXPECT_FALSE(std::regex_search(line, record)) << source.path << ":" << n + 1 << ": " << line;
            if (!mayProbe)
                EXPECT_EQ(line.find("__builtin_cpu_"), std::string::npos) << source.path << ":" << n + 1 << ": " << line;
        }
        EXPECT_LE(source.lines.size(), 600u) << source.path;
    }
}
} // namespace
#endif
