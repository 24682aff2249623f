#include "cli.h"
#include "commands.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>

void Fail(const std::string& message, int status) { throw CliError(message, status); }
void UsageError(const std::string& message) { throw CliError(message, 2); }

int RunCommandReporting(const char* name, int (*run)(int, char**), int argc, char** argv)
{
    try {
        return run(argc, argv);
    } catch (const CliError& error) {
        std::fprintf(stderr, "kestrun %s: %s\n", name, error.what());
        return error.status;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "kestrun %s: out of memory\n", name);
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "kestrun %s: %s\n", name, error.what());
        return 1;
    }
}

bool Arguments::Has(const std::string& name) const
{
    return std::any_of(options.begin(), options.end(), [&](const auto& o) { return o.first == name; });
}

std::string Arguments::Value(const std::string& name, const std::string& fallback) const
{
    for (auto it = options.rbegin(); it != options.rend(); ++it)
        if (it->first == name) return it->second;
    return fallback;
}

Arguments ParseArguments(int argc, char** argv, int first, const std::vector<std::string>& withValue,
                         const std::vector<std::string>& switches)
{
    Arguments arguments;
    bool onlyPositional = false;
    for (int i = first; i < argc; ++i) {
        std::string word = argv[i];
        if (onlyPositional || word == "-" || word.empty() || word[0] != '-') {
            arguments.positional.push_back(word);
        } else if (word == "--") {
            onlyPositional = true;
        } else if (std::find(withValue.begin(), withValue.end(), word) != withValue.end()) {
            if (i + 1 >= argc) UsageError("option " + word + " needs a value");
            arguments.options.emplace_back(word, argv[++i]);
        } else if (auto eq = word.find('='); eq != std::string::npos && word.rfind("--", 0) == 0 &&
                                              std::find(withValue.begin(), withValue.end(), word.substr(0, eq)) !=
                                                  withValue.end()) {
            arguments.options.emplace_back(word.substr(0, eq), word.substr(eq + 1));
        } else if (std::find(switches.begin(), switches.end(), word) != switches.end()) {
            arguments.options.emplace_back(word, "");
        } else {
            UsageError("unknown option " + word);
        }
    }
    return arguments;
}

uint32_t ParseUnsigned(const std::string& option, const std::string& text)
{
    if (text.empty() || text.size() > 10 || !std::all_of(text.begin(), text.end(), ::isdigit))
        UsageError(option + " takes a whole number, not \"" + text + "\"");
    unsigned long long value = std::stoull(text);
    if (value > 0xFFFFFFFFull) UsageError(option + " " + text + " is too large");
    return uint32_t(value);
}

void ParseSize(const std::string& text, uint32_t* width, uint32_t* height)
{
    auto x = text.find('x');
    if (x == std::string::npos) UsageError("-s takes WIDTHxHEIGHT, for example 720x576, not \"" + text + "\"");
    *width = ParseUnsigned("-s", text.substr(0, x));
    *height = ParseUnsigned("-s", text.substr(x + 1));
}

unsigned ThreadCount(const Arguments& arguments)
{
    if (!arguments.Has("--threads")) return std::max(1u, std::thread::hardware_concurrency());
    uint32_t n = ParseUnsigned("--threads", arguments.Value("--threads"));
    if (n == 0 || n > 256) UsageError("--threads takes a number from 1 to 256");
    return n;
}

InputFile::InputFile(const std::string& path) : name_(path == "-" ? "standard input" : path)
{
    if (path == "-") {
        file_ = stdin;
        return;
    }
    file_ = std::fopen(path.c_str(), "rb");
    if (!file_) Fail(path + ": cannot open: " + std::strerror(errno));
    owned_ = true;
    struct stat status{};
    if (::fstat(fileno(file_), &status) == 0 && S_ISREG(status.st_mode)) {
        regular_ = true;
        size_ = uint64_t(status.st_size);
    }
}

InputFile::~InputFile()
{
    if (owned_) std::fclose(file_);
}

std::size_t InputFile::Read(void* data, std::size_t size)
{
    std::size_t got = std::fread(data, 1, size, file_);
    if (got < size && std::ferror(file_)) Fail(name_ + ": read error: " + std::strerror(errno));
    return got;
}

std::size_t InputFile::ReadAt(void* data, std::size_t size, uint64_t offset)
{
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::pread(fileno(file_), static_cast<uint8_t*>(data) + got, size - got, off_t(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) Fail(name_ + ": read error: " + std::strerror(errno));
        if (n == 0) break;
        got += std::size_t(n);
    }
    return got;
}

OutputFile::OutputFile(const std::string& path) : path_(path)
{
    if (path == "-") {
        path_ = "standard output";
        file_ = stdout;
        return;
    }
    struct stat status{};
    if (::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
        // A device or a pipe (/dev/null, /dev/full, a FIFO) is written in place.
        file_ = std::fopen(path.c_str(), "wb");
        if (!file_) Fail(path + ": cannot write: " + std::strerror(errno));
        owned_ = true;
        direct_ = true;
        return;
    }
    temporary_ = path + ".partial-" + std::to_string(::getpid());
    file_ = std::fopen(temporary_.c_str(), "wb");
    if (!file_) Fail(path + ": cannot write: " + std::strerror(errno));
    owned_ = true;
}

OutputFile::~OutputFile()
{
    if (owned_ && !committed_) {
        std::fclose(file_);
        if (!direct_) std::remove(temporary_.c_str());
    }
}

void OutputFile::Write(const void* data, std::size_t size)
{
    if (size == 0) return;
    if (std::fwrite(data, 1, size, file_) != size)
        Fail(path_ + ": write failed: " + std::strerror(errno) +
             (owned_ && !direct_ ? "; nothing was kept" : "; the output is incomplete"));
}

void OutputFile::Commit()
{
    if (std::fflush(file_) != 0)
        Fail(path_ + ": write failed: " + std::strerror(errno) +
             (owned_ && !direct_ ? "; nothing was kept" : "; the output is incomplete"));
    if (!owned_) return;
    if (std::fclose(file_) != 0) {
        committed_ = true;
        if (!direct_) std::remove(temporary_.c_str());
        Fail(path_ + ": write failed: " + std::strerror(errno) +
             (direct_ ? "; the output is incomplete" : "; nothing was kept"));
    }
    committed_ = true;
    if (direct_) return;
    if (std::rename(temporary_.c_str(), path_.c_str()) != 0) {
        std::remove(temporary_.c_str());
        Fail(path_ + ": cannot rename the finished output into place: " + std::strerror(errno));
    }
}

std::string DescribeBytes(uint64_t bytes)
{
    char text[64];
    if (bytes >= (uint64_t(1) << 20))
        std::snprintf(text, sizeof text, "%.1f MiB", double(bytes) / (1 << 20));
    else if (bytes >= 1024)
        std::snprintf(text, sizeof text, "%.1f KiB", double(bytes) / 1024);
    else
        std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
    return text;
}

std::string ExecutableDirectory()
{
    std::string path(4096, '\0');
    const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
    path.resize(length > 0 ? std::size_t(length) : 0);
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : path.substr(0, std::max<std::size_t>(slash, 1));
}
