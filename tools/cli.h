// Shared pieces of the kestrun command-line tool: errors, options, files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

// A failure to report to the user: the message names the file and what is
// wrong; `status` is the exit status (1 bad input or output, 2 usage).
struct CliError : std::runtime_error {
    int status;
    CliError(const std::string& message, int exitStatus = 1) : std::runtime_error(message), status(exitStatus) {}
};
[[noreturn]] void Fail(const std::string& message, int status = 1);
[[noreturn]] void UsageError(const std::string& message);

// Command-line options: flags with values, flags alone, and positionals.
struct Arguments {
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, std::string>> options; // name, value ("" for switches)

    bool Has(const std::string& name) const;
    std::string Value(const std::string& name, const std::string& fallback = "") const;
};
// `withValue` lists the options that take a value, e.g. {"-s", "-f", "--threads"}.
Arguments ParseArguments(int argc, char** argv, int first, const std::vector<std::string>& withValue,
                         const std::vector<std::string>& switches);

void ParseSize(const std::string& text, uint32_t* width, uint32_t* height);
uint32_t ParseUnsigned(const std::string& option, const std::string& text);
unsigned ThreadCount(const Arguments& arguments);

// An input stream: a file, or standard input for "-".
class InputFile {
public:
    explicit InputFile(const std::string& path);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    // Reads up to `size` bytes; returns how many were read (less only at the end).
    std::size_t Read(void* data, std::size_t size);
    const std::string& Name() const { return name_; }
    // A regular file can also be read at any offset, from several threads at
    // once; its size is taken when it is opened.
    bool IsRegularFile() const { return regular_; }
    uint64_t Size() const { return size_; }
    std::size_t ReadAt(void* data, std::size_t size, uint64_t offset);

private:
    std::FILE* file_ = nullptr;
    bool owned_ = false;
    bool regular_ = false;
    uint64_t size_ = 0;
    std::string name_;
};

// An output written under a temporary name and renamed into place by
// Commit(), so that a failed run never leaves a file that looks complete.
// Standard output ("-"), devices and pipes are written directly.
class OutputFile {
public:
    explicit OutputFile(const std::string& path);
    ~OutputFile(); // removes the temporary file unless committed
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    void Write(const void* data, std::size_t size);
    void Commit();
    bool IsStandardOutput() const { return owned_ == false; }
    const std::string& Name() const { return path_; }
    std::FILE* Handle() { return file_; }

private:
    std::FILE* file_ = nullptr;
    bool owned_ = false;
    bool direct_ = false; // a device or pipe written in place, no rename
    bool committed_ = false;
    std::string path_;
    std::string temporary_;
};

std::string DescribeBytes(uint64_t bytes);

// The folder of the running executable (from /proc/self/exe), where the
// tool finds its media library and, once installed, its data.
std::string ExecutableDirectory();
