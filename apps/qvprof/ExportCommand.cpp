#include "ExportCommand.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "ChromeTraceExport.h"
#include "CollapsedStacks.h"
#include "Controller/ProtocolConstants.h"
#include "ExitCodes.h"
#include "FlameGraphHtml.h"
#include "PprofExport.h"
#include "SpeedscopeExport.h"

namespace Qvprof {

const std::vector<ExportCommand::Format>& ExportCommand::Formats() {
    static const auto* pFormats = new std::vector<Format>{
        {"speedscope", ".speedscope.json", "speedscope JSON, one profile per thread"},
        {"pprof", ".pb.gz", "pprof profile (gzipped protocol buffers): calls and time"},
        {"collapsed", ".collapsed.txt", "collapsed stacks for flame graph tools (microseconds)"},
        {"chrome", ".trace.json", "Chrome trace events (chrome://tracing, Perfetto)"},
        {"html", ".html", "a self-contained interactive flame graph page"}};
    return *pFormats;
}

std::vector<std::string> ExportCommand::FormatNames() {
    std::vector<std::string> names;
    for (const Format& format : Formats()) {
        names.emplace_back(format.name);
    }
    return names;
}

const Controller::Profile& ExportCommand::ProfileOf(const SnapshotContents& contents) {
    if (contents.Profile()) {
        return *contents.Profile();
    }
    if (contents.Snapshot().magic != Controller::PerformanceSnapshotMagic) {
        throw std::runtime_error("'" + contents.Path() + "' is a " + contents.KindName() +
                                 " snapshot; only performance snapshots (tracing or sampling) "
                                 "hold call trees");
    }
    std::string reason =
        contents.Problems().empty() ? "no call trees could be read" : contents.Problems().back();
    throw std::runtime_error("'" + contents.Path() + "': its call trees cannot be read: " + reason);
}

std::string ExportCommand::Export(const SnapshotContents& contents, const std::string& format) {
    if (contents.Heap()) {
        if (format == "pprof") {
            return PprofExport::WriteHeap(*contents.Heap());
        }
        if (format == "collapsed") {
            return CollapsedStacks::WriteHeap(*contents.Heap());
        }
        throw std::runtime_error("'" + contents.Path() + "' is a memory snapshot; it exports as " +
                                 "pprof or collapsed");
    }
    const Controller::Profile& profile = ProfileOf(contents);
    const std::string title = std::filesystem::path(contents.Path()).filename().string();
    if (format == "speedscope") {
        return SpeedscopeExport::Write(profile, title);
    }
    if (format == "pprof") {
        return PprofExport::Write(profile);
    }
    if (format == "collapsed") {
        return CollapsedStacks::Write(profile);
    }
    if (format == "chrome") {
        return ChromeTraceExport::Write(profile, 1);
    }
    if (format == "html") {
        return FlameGraphHtml::Write(profile, title);
    }
    throw std::runtime_error("There is no export format '" + format +
                             "'; the formats are speedscope, pprof, collapsed, chrome and html");
}

std::string ExportCommand::DefaultOutput(const std::string& file, const std::string& format) {
    std::filesystem::path path(file);
    std::string extension = ".out";
    for (const Format& known : Formats()) {
        if (format == known.name) {
            extension = known.extension;
        }
    }
    return path.replace_extension(extension).string();
}

int ExportCommand::Run(const ExportOptions& options, Console& console) {
    std::string bytes;
    try {
        AnnounceLargeSnapshot(options.file, console);
        bytes = Export(SnapshotContents::Load(options.file), options.format);
    } catch (const std::exception& error) {
        console.Error(error.what());
        return ExitFailure;
    }
    if (options.output == "-") {
        std::fwrite(bytes.data(), 1, bytes.size(), stdout);
        std::fflush(stdout);
        return ExitSuccess;
    }
    const std::string output =
        options.output.empty() ? DefaultOutput(options.file, options.format) : options.output;
    errno = 0;
    std::FILE* pOut = std::fopen(output.c_str(), "wb");
    bool written =
        pOut != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), pOut) == bytes.size();
    int reason = errno;
    if (pOut != nullptr && std::fclose(pOut) != 0 && written) {
        written = false;
        reason = errno;
    }
    if (!written) {
        console.Error("Cannot write '" + output + "'" +
                      (reason != 0 ? std::string(": ") + std::strerror(reason) : std::string()));
        return ExitFailure;
    }
    console.Info("Wrote the " + options.format + " export of '" + options.file + "' to '" + output +
                 "'");
    return ExitSuccess;
}

}  // namespace Qvprof
