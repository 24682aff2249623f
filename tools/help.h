// Each command's synopsis, description and options, for `kestrun help
// COMMAND` and `kestrun COMMAND --help`: in the executable, so that help
// never loads the media library. The manual page (kestrun.1) and the bash
// completion (kestrun-completion.bash) say the same; the tests hold the three
// to the command table and to each command's option parser.
#pragma once

#include <cstdio>
#include <span>

struct OptionHelp {
    const char* name;  // "--coder", "-s"
    const char* value; // "huffman|deflate|smallest|archive", "N"; null for a switch
    const char* text;
};

struct CommandHelp {
    const char* name;
    const char* synopsis; // after "kestrun NAME"
    const char* description;
    std::span<const OptionHelp> options;
};

// Null when `name` has no help.
const CommandHelp* FindCommandHelp(const char* name);

// The usage line, the description and every option, wrapped for a terminal.
void PrintCommandHelp(std::FILE* to, const CommandHelp& help);
