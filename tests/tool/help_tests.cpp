// The tool's help, manual page and bash completion, held to the command
// table (as `kestrun help` lists it) and to each command's option parser (as
// its source passes the options to ParseArguments), so that a command or an
// option added without its documentation fails here.
#include <regex>
#include <set>

#include "tool_test.h"

namespace {
const fs::path sourceDir = KESTRUN_SOURCE_DIR;

std::set<std::string> Words(const std::string& text, const std::regex& pattern)
{
    std::set<std::string> words;
    for (std::sregex_iterator it(text.begin(), text.end(), pattern), end; it != end; ++it) words.insert((*it)[1]);
    return words;
}

// The options each command's parser takes, read from the sources: every
// ParseArguments call with the command's usage line after it.
std::map<std::string, std::set<std::string>> ParsedOptions()
{
    std::map<std::string, std::set<std::string>> parsed;
    const std::regex lists(R"(\{([^}]*)\},\s*\{([^}]*)\}\))"), quoted(R"re("([^"]+)")re"),
        usage(R"(usage: kestrun ([a-z0-9-]+))");
    for (const auto& entry : fs::directory_iterator(sourceDir / "tools")) {
        if (entry.path().extension() != ".cpp") continue;
        const std::string text = ReadText(entry.path());
        for (std::size_t at = text.find("ParseArguments(argc"); at != std::string::npos;
             at = text.find("ParseArguments(argc", at + 1)) {
            const std::string call = text.substr(at, text.find(';', at) - at + 1);
            const std::string after = text.substr(at, 600);
            std::smatch options, name;
            if (!std::regex_search(call, options, lists) || !std::regex_search(after, name, usage)) continue;
            for (const std::string& list : {options[1].str(), options[2].str()})
                for (const std::string& option : Words(list, quoted)) parsed[name[1]].insert(option);
        }
    }
    return parsed;
}

class HelpTest : public ToolTest {
protected:
    // The commands `kestrun help` lists.
    std::vector<std::string> Commands()
    {
        const std::string usage = Ok("$K help");
        std::vector<std::string> names;
        const std::regex line(R"(\n  ([a-z0-9-]+) )");
        for (std::sregex_iterator it(usage.begin(), usage.end(), line), end; it != end; ++it) names.push_back((*it)[1]);
        return names;
    }
    // What the completion proposes for the words of `line` (the last one
    // being completed, possibly empty).
    std::set<std::string> Complete(const std::string& line)
    {
        const std::string script = (sourceDir / "tools" / "kestrun-completion.bash").string();
        const std::string words = Ok("source '" + script + "'\nCOMP_WORDS=(" + line + ")\nCOMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n"
                                     "_kestrun\nprintf '%s\\n' \"${COMPREPLY[@]}\"");
        std::set<std::string> proposed;
        std::istringstream lines(words);
        for (std::string word; std::getline(lines, word);)
            if (!word.empty()) proposed.insert(word);
        return proposed;
    }
};

TEST_F(HelpTest, EveryCommandHasHelpAManualSectionAndCompletion)
{
    const std::vector<std::string> commands = Commands();
    ASSERT_GE(commands.size(), 9u);
    const std::string manual = ReadText(sourceDir / "tools" / "kestrun.1");
    const std::set<std::string> completed = Complete("kestrun ''");
    // Help needs only the executable: a copy alone, without the media library.
    Ok("cp \"$K\" ./kestrun-alone");
    const std::regex option(R"(\n  (-[-a-z0-9]+))");
    for (const std::string& command : commands) {
        SCOPED_TRACE(command);
        const std::string help = Ok("./kestrun-alone help " + command);
        EXPECT_EQ(help.rfind("usage: kestrun " + command + " ", 0), 0u) << help;
        EXPECT_EQ(Ok("./kestrun-alone " + command + " --help"), help);
        EXPECT_EQ(Ok("$K " + command + " -h"), help);
        const std::string section = ".SS " + std::regex_replace(command, std::regex("-"), "\\-") + " ";
        EXPECT_NE(manual.find("\n" + section), std::string::npos) << section;
        EXPECT_TRUE(completed.count(command));
        // The completion offers the options the help lists, and no others.
        std::set<std::string> options = Words(help, option);
        options.insert("--help");
        EXPECT_EQ(Complete("kestrun " + command + " -"), options);
    }
}

TEST_F(HelpTest, HelpListsEveryOptionTheParserTakes)
{
    const auto parsed = ParsedOptions();
    const std::regex option(R"(\n  (-[-a-z0-9]+))");
    for (const std::string& command : Commands()) {
        SCOPED_TRACE(command);
        ASSERT_TRUE(parsed.count(command)) << "no ParseArguments call followed by \"usage: kestrun " << command
                                           << "\" in tools/";
        EXPECT_EQ(Words(Ok("$K help " + command), option), parsed.at(command));
    }
}

TEST_F(HelpTest, StatusesAndStreams)
{
    const struct {
        std::string command;
        int status;
        std::string out, err; // found in standard output and standard error; "" for nothing there
    } cases[] = {
        {"$K help", 0, "commands:", ""},
        {"$K --help", 0, "commands:", ""},
        {"$K --version", 0, "kestrun 1.", ""},
        {"$K help export", 0, "--to ffv1|v210|uyvy", ""},
        {"$K help nosuch", 2, "", "unknown command \"nosuch\""},
        {"$K nosuch", 2, "", "unknown command \"nosuch\""},
        {"$K", 2, "", "usage: kestrun COMMAND"},
        {"$K encode", 2, "", "usage: kestrun encode"},
        {"$K encode -- --help", 2, "", "usage: kestrun encode"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        const Result result = Run(c.command);
        EXPECT_EQ(result.status, c.status) << result.err;
        if (c.out.empty()) EXPECT_EQ(result.out, "");
        else EXPECT_NE(result.out.find(c.out), std::string::npos) << result.out;
        if (c.err.empty()) EXPECT_EQ(result.err, "");
        else EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
    }
}

TEST_F(HelpTest, CompletionProposesValuesAndFiles)
{
    Ok("touch archive.avi archive.avi.framemd5 capture.mkv");
    const struct {
        std::string line;
        std::set<std::string> proposed;
    } cases[] = {
        {"kestrun enc", {"encode"}},
        {"kestrun help raw", {"raw-encode", "raw-decode"}},
        {"kestrun encode --coder ''", {"huffman", "deflate", "smallest", "archive"}},
        {"kestrun demo --coder s", {"smallest"}},
        {"kestrun export --to ''", {"ffv1", "v210", "uyvy"}},
        {"kestrun decode --format rgb", {"rgb24", "rgb32"}},
        {"kestrun framemd5 --format rgb", {"rgb24"}},
        {"kestrun raw-decode -f rgb", {"rgb24", "rgb32"}},
        {"kestrun raw-encode -f rgb", {"rgb24"}},
        {"kestrun verify --no", {}},
        {"kestrun verify --fixity arch", {"archive.avi", "archive.avi.framemd5"}},
        {"kestrun encode cap", {"capture.mkv"}},
    };
    for (const auto& c : cases) EXPECT_EQ(Complete(c.line), c.proposed) << c.line;
}
} // namespace
