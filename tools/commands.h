// The tool's commands; each takes the whole command line (argv[1] is its name).
#pragma once

int RawEncodeCommand(int argc, char** argv);
int RawDecodeCommand(int argc, char** argv);
int EncodeCommand(int argc, char** argv);
int DecodeCommand(int argc, char** argv);
int InfoCommand(int argc, char** argv);
int VerifyCommand(int argc, char** argv);
int FrameMd5Command(int argc, char** argv);
int FixityCommand(int argc, char** argv);
int ExportCommand(int argc, char** argv);
int DemoCommand(int argc, char** argv);

// Runs a command and turns what it throws into a message on standard error
// and the exit status.
int RunCommandReporting(const char* name, int (*run)(int, char**), int argc, char** argv);

// The commands that read or write media files through FFmpeg live in a
// library of their own, next to the executable, loaded only when one of them
// runs: the raw commands start without FFmpeg's hundred-odd libraries.
constexpr const char* MediaLibraryName = "libkestrun-media.so";
constexpr const char* MediaEntryName = "KestrunRunMediaCommand";
// The library's one entry: runs the media command argv[1] and returns its exit
// status; 127 if it has no command of that name.
extern "C" int KestrunRunMediaCommand(int argc, char** argv);
