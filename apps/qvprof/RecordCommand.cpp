#include "RecordCommand.h"

#include <fmt/format.h>

#include "ExitCodes.h"
#include "LaunchEnvironment.h"
#include "ProfilerDiagnostics.h"
#include "ProfilerLibraries.h"
#include "ProgramRunner.h"
#include "RecordingEnd.h"
#include "RecordingHub.h"
#include "RecordingLoop.h"
#include "SessionSettings.h"
#include "WorkDirectory.h"

namespace Qvprof {

namespace {

std::string JoinCommand(const std::vector<std::string>& command) {
    std::string text;
    for (const std::string& word : command) {
        text += (text.empty() ? "" : " ") + word;
    }
    return text;
}

}  // namespace

int RecordCommand::Run(const ProfilingOptions& options, Console& console,
                       const std::filesystem::path& executableDirectory) {
    // First, before any thread starts: the signals are ours from here on.
    ProgramRunner runner;
    ProfilerLibraries libraries;
    std::unique_ptr<WorkDirectory> pWork;
    try {
        libraries = ProfilerLibraries::Find(executableDirectory);
        CreateOutputDirectory(options.outputDirectory);
        pWork = std::make_unique<WorkDirectory>();
        pWork->WriteRegistry(options.logMask.value_or(0));
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

    const LaunchEnvironment launch(libraries, ProfilerModes::ClassId(options.mode),
                                   "127.0.0.1:" + std::to_string(port),
                                   pWork->HostLogPath().string(), pWork->RegistryPath().string());
    std::vector<std::string> notes;
    const std::vector<std::string> environment =
        launch.Compose(LaunchEnvironment::Inherited(), &notes);
    for (const std::string& note : notes) {
        console.Info(note);
    }
    console.Info(fmt::format("recording '{}' with the {} profiler (listening on 127.0.0.1:{})",
                             JoinCommand(options.command), ProfilerModes::Name(options.mode),
                             port));
    try {
        runner.Start(options.command, environment);
    } catch (const std::exception& error) {
        console.Error(error.what());
        hub.Abort();
        return ExitCannotStart;
    }

    RecordingLoop loop(console, hub, runner, options);
    const RecordingLoop::End end = loop.Run(true);
    hub.Close();

    std::vector<ProcessRecord> records = hub.Records();
    if (end == RecordingLoop::End::Aborted) {
        for (ProcessRecord& record : records) {
            if (static_cast<int>(record.processId) == runner.ProcessId()) {
                record.letGo = false;
                record.problems.push_back("killed by qvprof: the recording was aborted");
            }
        }
    }
    // Processes qvprof refused or let go report the connection it ended as an error, so their
    // logs are left out; what a profiler sent over the connection was shown as it came.
    std::vector<KnownLogFile> known;
    for (const ProcessRecord& record : records) {
        if (!record.logFilePath.empty()) {
            known.push_back({record.logFilePath,
                             record.letGo || record.outcome == ProcessRecord::Outcome::Refused,
                             record.profilerMessages});
        }
    }
    const std::vector<Diagnostic> diagnostics = ProfilerDiagnostics::Collect(
        pWork->HostLogPath(), pWork->ProfilerTemporaryPath(), known);
    RecordingEnd::Report(console, options, records, diagnostics);
    if (end == RecordingLoop::End::Aborted) {
        return ExitAborted;
    }
    if (records.empty()) {
        console.Error(fmt::format(
            "no process connected to qvprof; the program {}. {}", runner.Outcome(),
            diagnostics.empty()
                ? "Is '" + options.command[0] + "' a .NET program (or one that starts one)?"
                : "The lines above say why."));
        return runner.ExitCode() != 0 ? runner.ExitCode() : ExitFailure;
    }
    return runner.ExitCode();
}

}  // namespace Qvprof
