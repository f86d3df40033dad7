// Reading back what the log wrote, for tests that check its lines.
#pragma once

#include <string>
#include <vector>

#include "Platform/Types.h"

// Flushes the log and returns its file's lines without their line feeds (empty when closed).
std::vector<std::string> ReadLogFileLines();
// The lines after the "Initialized" record (which ends with its CommandLine line).
std::vector<std::string> ReadLogLinesAfterRecord();
// The prefix the calling thread's lines carry: "%08X " OS thread id, the managed id as
// zero-padded upper-case hexadecimal of pointer width, and a blank.
std::string LogLinePrefix(UINT_PTR managedThreadId = 0);
// A whole file's text, or empty if it cannot be read.
std::string ReadWholeFile(const std::string& path);
