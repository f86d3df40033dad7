#include "SnapshotNamer.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace Qvprof {

namespace {

constexpr size_t MaxProgramNameLength = 60;

// The executable and the arguments of a command line composed as "\"<path>\" <arguments>", where
// an argument holding a blank is enclosed in double quotes.
std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
    std::vector<std::string> words;
    std::string word;
    bool quoted = false;
    bool inWord = false;
    for (char c : commandLine) {
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (c == ' ' && !quoted) {
            if (inWord) {
                words.push_back(word);
            }
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) {
        words.push_back(word);
    }
    return words;
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string WithoutExtension(const std::string& name) {
    const size_t dot = name.find_last_of('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// The program the muxer runs: the first managed assembly among its arguments (options of
// "dotnet exec" and their values skipped), else its command ("dotnet-build").
std::string DotnetProgram(const std::vector<std::string>& words) {
    static const char* const OptionsWithValue[] = {
        "--depsfile",        "--runtimeconfig", "--additionalprobingpath",
        "--additional-deps", "--fx-version",    "--roll-forward"};
    for (size_t i = 1; i < words.size(); ++i) {
        const std::string& word = words[i];
        const std::string lower = Lower(word);
        if (EndsWith(lower, ".dll") || EndsWith(lower, ".exe")) {
            return WithoutExtension(BaseName(word));
        }
        if (std::find(std::begin(OptionsWithValue), std::end(OptionsWithValue), lower) !=
            std::end(OptionsWithValue)) {
            ++i;
            continue;
        }
        if (word == "exec" || word.empty() || word[0] == '-') {
            continue;
        }
        return "dotnet-" + word;
    }
    return "dotnet";
}

std::string Sanitize(const std::string& name) {
    std::string clean;
    for (char c : name) {
        const bool kept = std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' ||
                          c == '+' || c == '-';
        clean += kept ? c : '_';
    }
    // No hidden files and no names that read as options.
    while (!clean.empty() && (clean[0] == '.' || clean[0] == '-')) {
        clean.erase(0, 1);
    }
    if (clean.size() > MaxProgramNameLength) {
        clean.resize(MaxProgramNameLength);
    }
    return clean.empty() ? "process" : clean;
}

}  // namespace

SnapshotNamer::SnapshotNamer(std::filesystem::path directory) : m_Directory(std::move(directory)) {}

std::string SnapshotNamer::ProgramName(const std::string& commandLine) {
    const std::vector<std::string> words = SplitCommandLine(commandLine);
    if (words.empty()) {
        return "process";
    }
    const std::string executable = BaseName(words[0]);
    const std::string lower = Lower(executable);
    if (lower == "dotnet" || lower == "dotnet.exe") {
        return Sanitize(DotnetProgram(words));
    }
    return Sanitize(EndsWith(lower, ".exe") ? WithoutExtension(executable) : executable);
}

std::filesystem::path SnapshotNamer::Reserve(const std::string& program, DWORD processId) {
    std::lock_guard<std::mutex> guard(m_Lock);
    const std::string base = program + "-" + std::to_string(processId);
    unsigned& number = m_LastNumber[base];
    for (;;) {
        ++number;
        std::string name = base;
        if (number > 1) {
            name += "-" + std::to_string(number);
        }
        name += Extension;
        std::error_code error;
        if (m_Reserved.count(name) == 0 && !std::filesystem::exists(m_Directory / name, error)) {
            m_Reserved.insert(name);
            return m_Directory / name;
        }
    }
}

}  // namespace Qvprof
