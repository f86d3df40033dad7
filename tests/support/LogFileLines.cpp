#include "LogFileLines.h"

#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "Platform/FileSystem.h"
#include "Platform/Process.h"
#include "Util/Log.h"

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> ReadLogFileLines() {
    Log::Flush();
    WString path = Log::GetFilePath();
    std::vector<std::string> lines;
    if (path.empty()) {
        return lines;
    }
    std::istringstream text(ReadWholeFile(Platform::ToNativePath(path)));
    for (std::string line; std::getline(text, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> ReadLogLinesAfterRecord() {
    std::vector<std::string> lines = ReadLogFileLines();
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind("\tCommandLine=", 0) == 0) {
            return std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                                            lines.end());
        }
    }
    return {};
}

std::string LogLinePrefix(UINT_PTR managedThreadId) {
    char prefix[64];
    std::snprintf(prefix, sizeof(prefix), "%08X %0*" PRIXPTR " ", Platform::GetCurrentThreadId(),
                  static_cast<int>(sizeof(void*) * 2), managedThreadId);
    return prefix;
}
