#pragma once

#include <cstdint>
#include <cstdio>

// The command line every tool of this project takes: none, to run, --version
// or --help. Reads argv[1..argc-1] of the tool called name. Returns 1 when
// there is no argument and the tool runs as ever. Otherwise the command line
// is answered here and the tool ends with *exit_status: "--version" alone
// writes "NAME VERSION" and a line feed to out (status 0); "--help" alone
// writes to out how the tool is driven, the first command to type and where
// the docs are (status 0); anything else writes a one-line usage to err
// (status 2). Returns 0 then.
int32_t tool_arguments_read(int argc, const char* const* argv, const char* name, FILE* out,
                            FILE* err, int* exit_status);
