#pragma once

#include <list>
#include <string>

// Runs the command line as a hidden child process and appends what it writes to its standard output
// and standard error to output. The child's standard input is at its end from the start. 0; -8 for an
// empty command line, one longer than 1023 characters, or a pipe that cannot be created; -3 when the
// process cannot be started or the pipe cannot be handed over.
int ExecuteCmd(const std::wstring& commandLine, std::string& output);

// ExecuteCmd, with the output split into lines by SplitLines.
int RunCommand(const std::wstring& commandLine, std::list<std::string>& lines);

// Appends every line of text that ends with a line feed, cut before its first carriage return.
void SplitLines(const std::string& text, std::list<std::string>& lines);
