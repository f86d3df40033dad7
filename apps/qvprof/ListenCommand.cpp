#include "ListenCommand.h"

#include <fmt/format.h>

#include "ExitCodes.h"
#include "LaunchEnvironment.h"
#include "ProfilerLibraries.h"
#include "ProgramRunner.h"
#include "RecordingEnd.h"
#include "RecordingHub.h"
#include "RecordingLoop.h"
#include "SessionSettings.h"
#include "WorkDirectory.h"

namespace Qvprof {

namespace {

// Where the host and the profiler libraries are, when they lie beside this qvprof.
ProfilerLibraries LibrariesOrPlaceholders(const std::filesystem::path& executableDirectory) {
    try {
        return ProfilerLibraries::Find(executableDirectory);
    } catch (const std::exception&) {
        return {std::filesystem::path("/path/to") / ProfilerLibraries::HostFileName,
                std::filesystem::path("/path/to") / ProfilerLibraries::ProfilerFileName};
    }
}

}  // namespace

int ListenCommand::Run(const ProfilingOptions& options, Console& console,
                       const std::filesystem::path& executableDirectory) {
    ProgramRunner signals;
    try {
        CreateOutputDirectory(options.outputDirectory);
    } catch (const std::exception& error) {
        console.Error(error.what());
        return ExitFailure;
    }
    RecordingHub hub(console, options,
                     SessionSettings::Build(options, RecordingEnd::ControllerText(options)));
    WORD port = 0;
    try {
        port = hub.Start(options.port);
    } catch (const std::exception& error) {
        console.Error(error.what());
        return ExitFailure;
    }

    const LaunchEnvironment launch(LibrariesOrPlaceholders(executableDirectory),
                                   ProfilerModes::ClassId(options.mode),
                                   "127.0.0.1:" + std::to_string(port), "", "");
    std::string variables;
    for (const auto& [name, value] : launch.Variables()) {
        variables += fmt::format("  export {}='{}'\n", name, value);
    }
    variables +=
        "  # optional: the host tells on standard error why a process runs unprofiled\n"
        "  # export QUORVELAN_HOST_LOG=stderr\n";
    console.Info(
        fmt::format("listening on 127.0.0.1:{} for the {} profiler; start the program "
                    "with these variables set (Ctrl-C ends the recording):",
                    port, ProfilerModes::Name(options.mode)));
    if (!options.quiet) {
        console.Print(variables);
    }

    RecordingLoop loop(console, hub, signals, options);
    const RecordingLoop::End end = loop.Run(false);
    hub.Close();

    const std::vector<ProcessRecord> records = hub.Records();
    RecordingEnd::Report(console, options, records, {});
    if (end == RecordingLoop::End::Aborted) {
        return ExitAborted;
    }
    if (records.empty()) {
        console.Error(fmt::format("no process connected to 127.0.0.1:{}", port));
        return ExitFailure;
    }
    return ExitSuccess;
}

}  // namespace Qvprof
