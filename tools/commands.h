// The tool's commands; each takes the whole command line (argv[1] is its name).
#pragma once

int RawEncodeCommand(int argc, char** argv);
int RawDecodeCommand(int argc, char** argv);
