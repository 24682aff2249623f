// The tool's commands; each takes the whole command line (argv[1] is its name).
#pragma once

int RawEncodeCommand(int argc, char** argv);
int RawDecodeCommand(int argc, char** argv);
int EncodeCommand(int argc, char** argv);
int DecodeCommand(int argc, char** argv);
int InfoCommand(int argc, char** argv);
int VerifyCommand(int argc, char** argv);
int FrameMd5Command(int argc, char** argv);
int DemoCommand(int argc, char** argv);
