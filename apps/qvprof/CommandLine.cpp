#include "CommandLine.h"

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <iostream>
#include <map>

#include "ExitCodes.h"
#include "ExportCommand.h"
#include "ReportViews.h"
#include "SessionSettings.h"

namespace Qvprof {

namespace {

constexpr const char* Commands[] = {"record", "listen", "report", "export", "diff"};

const char* const MainFooter = R"(
Examples:
  qvprof record --mode test -- dotnet build        record every process of a build
  qvprof record --mode tracing -- dotnet run        record a program and its children
  qvprof record --mode sampling --duration 30 -o out -- ./MyServer
  qvprof listen --port 5150 --mode memory          record a program started elsewhere
  qvprof report Sample-4242.qvsnap                 what a snapshot holds
  qvprof export Sample-4242.qvsnap --format html   an interactive flame graph
  qvprof diff before.qvsnap after.qvsnap           what got faster or slower

Run 'qvprof <command> --help' for the options of a command.)";

const char* const RecordFooter = R"(
The program's input, output and exit code pass through; qvprof's own messages go to standard
error. Every .NET process the program starts connects too and gets a snapshot of its own,
named after the program and its process id. Ctrl-C stops and saves (twice aborts), SIGUSR1
starts or stops measuring (a heap dump with --mode memory).

Examples:
  qvprof record --mode test -- dotnet build
  qvprof record --mode tracing --match 'MyApp\.dll' -- dotnet test
  qvprof record --mode tracing --precise -o profiles -- dotnet bin/MyApp.dll
  qvprof record --mode memory --allocations 100 --dump-after 10 --dump-at-end -- ./MyApp
  qvprof record --mode tracing --api -- ./MyApp       (the program calls the API itself))";

const char* const ListenFooter = R"(
qvprof prints the variables to set for the program; Ctrl-C ends the recording.

Examples:
  qvprof listen --port 5150 --mode tracing
  qvprof listen --port 5150 --mode memory --dump-after 30 --first-only)";

const char* const ReportFooter = R"(
Examples:
  qvprof report Sample-4242.qvsnap
  qvprof report --view hot --limit 10 MyApp-4242.qvsnap
  qvprof report --view tree --threads --depth 6 --threshold 5 MyApp-4242.qvsnap
  qvprof report --view modules --view classes --limit 0 *.qvsnap)";

const char* const ExportFooter = R"(
Without -o the export goes beside the snapshot, its ending replaced (Sample-4242.html); -o -
writes it to standard output.

Examples:
  qvprof export Sample-4242.qvsnap --format speedscope
  qvprof export Sample-4242.qvsnap --format pprof -o cpu.pb.gz && go tool pprof -top cpu.pb.gz
  qvprof export Sample-4242.qvsnap --format collapsed -o - | flamegraph.pl > flame.svg)";

const char* const DiffFooter = R"(
Functions are matched by name over all threads; A is the baseline, B the new run.

Examples:
  qvprof diff before.qvsnap after.qvsnap
  qvprof diff --by total --limit 10 before.qvsnap after.qvsnap)";

std::string FormatList() {
    std::string text;
    for (const auto& format : ExportCommand::Formats()) {
        text += fmt::format("\n  {:<10} {}", format.name, format.description);
    }
    return text;
}

std::string ViewList() {
    std::string text;
    for (const auto& pView : ReportViews::All()) {
        text += fmt::format("\n  {:<9} {}", pView->Name(), pView->Description());
    }
    return text;
}

// Values that are turned into ProfilingOptions once the line is parsed.
struct RawOptions {
    std::string logMask;
};

void AddProfilingOptions(CLI::App& command, ProfilingOptions& options, RawOptions& raw) {
    static const std::map<std::string, ProfilerMode> Modes = {{"tracing", ProfilerMode::Tracing},
                                                              {"sampling", ProfilerMode::Sampling},
                                                              {"memory", ProfilerMode::Memory},
                                                              {"test", ProfilerMode::Test}};
    static const std::map<std::string, TimerKind> Timers = {{"counter", TimerKind::Counter},
                                                            {"thread", TimerKind::ThreadTime},
                                                            {"tsc", TimerKind::Tsc}};

    command
        .add_option("--mode,-m", options.mode,
                    "Profiler kind: tracing (every call), sampling (stacks at intervals), "
                    "memory (heap dumps), test (logs the runtime's callbacks, makes no "
                    "snapshot)")
        ->transform(CLI::CheckedTransformer(Modes))
        ->option_text("tracing|sampling|memory|test (default tracing)");
    command
        .add_option("-o,--output", options.outputDirectory,
                    "Folder for the snapshot files (created when missing)")
        ->default_str(".");
    command
        .add_option("--duration", options.durationSeconds,
                    "Stop and save after this many seconds; the program runs on")
        ->check(CLI::PositiveNumber)
        ->option_text("SECONDS");
    command.add_flag("--first-only", options.firstOnly,
                     "Profile only the first process that connects (and matches --match)");
    command.add_option("--match", options.match,
                       "Profile only processes whose command line matches this regular "
                       "expression");
    command.add_flag("--start-paused", options.startPaused,
                     "Do not measure from the start: SIGUSR1 to qvprof starts and stops");
    command.add_flag("--api", options.apiControl,
                     "The program itself starts, stops and saves (or dumps) through the "
                     "profiler's API");

    command
        .add_option("--timer", options.timer,
                    "Performance: counter (wall-clock), thread (CPU time of each thread), "
                    "tsc (time-stamp counter)")
        ->transform(CLI::CheckedTransformer(Timers))
        ->option_text("counter|thread|tsc (default counter)");
    command.add_flag("--precise", options.precise,
                     "Tracing: precise call hooks (slower, subtracts the profiler's own time)");
    command.add_flag("--inlining,!--no-inlining", options.inlining,
                     "Tracing: let the runtime inline small methods (faster, but the calls it "
                     "inlines are neither seen nor counted); --no-inlining, the default, sees "
                     "every call");
    command.add_flag("--merge-threads", options.mergeThreads,
                     "Performance: merge the call trees of ended threads by thread name");

    command.add_option("--allocations", options.allocationsFactor,
                       "Memory: record every N-th allocation with its stack (0: none)");
    command.add_flag("--finalizers", options.trackFinalizers,
                     "Memory: record the objects queued for finalisation");
    command
        .add_option("--dump-after", options.dumpAfterSeconds,
                    "Memory: take a heap dump this many seconds after the start (repeatable)")
        ->check(CLI::PositiveNumber)
        ->allow_extra_args(false)
        ->option_text("SECONDS");
    command.add_flag("--dump-at-end", options.dumpAtEnd,
                     "Memory: take a heap dump when qvprof ends the recording (--duration, "
                     "Ctrl-C, or a process still running when the program ends)");

    command.add_flag("--snapshot-files", options.snapshotFiles,
                     "The profiled process writes each snapshot to files that qvprof reads when "
                     "it is complete, instead of streaming it: cheaper while recording (each "
                     "collection in memory mode costs a round trip when streamed), but a "
                     "process that dies in the middle of a snapshot leaves nothing of it");
    command.add_option("--log-mask", raw.logMask,
                       "Keep each process's profiler log file beside its snapshots, with these "
                       "components (a number, e.g. 0x09000000; 0 for errors and warnings only)");
    command.add_flag("-q,--quiet", options.quiet, "Only warnings, errors and nothing else");
}

void ListenOnly(CLI::App& command, ProfilingOptions& options) {
    command.add_option("--port,-p", options.port, "Loopback port to listen on (1 to 65535)")
        ->required()
        ->check(CLI::Range(1, 65535));
}

std::optional<uint32_t> ParseMask(const std::string& text) {
    try {
        size_t used = 0;
        const unsigned long long value = std::stoull(text, &used, 0);
        if (used == text.size() && value <= 0xFFFFFFFFull && text[0] != '-') {
            return static_cast<uint32_t>(value);
        }
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

// True for a first argument that names no command and is no option.
bool IsUnknownCommand(int argc, char** argv) {
    if (argc < 2 || argv[1][0] == '-') {
        return false;
    }
    for (const char* pCommand : Commands) {
        if (std::string(argv[1]) == pCommand) {
            return false;
        }
    }
    return true;
}

}  // namespace

CommandLine::Parsed CommandLine::Parse(int argc, char** argv) {
    Parsed parsed;
    if (IsUnknownCommand(argc, argv)) {
        std::cerr
            << "qvprof: error: there is no command '" << argv[1]
            << "'; the commands are record, listen, report, export and diff (qvprof --help)\n";
        parsed.exit = true;
        parsed.exitCode = ExitUsage;
        return parsed;
    }

    CLI::App app(
        "qvprof: records .NET programs under the Quorvelan profiler and reports what "
        "the snapshots hold.",
        "qvprof");
    app.footer(MainFooter);
    app.require_subcommand(1);
    app.set_version_flag("--version", QVPROF_VERSION);

    CLI::App* pRecord = app.add_subcommand(
        "record", "Start a program under the profiler and record every process it starts");
    RawOptions raw;
    AddProfilingOptions(*pRecord, parsed.profiling, raw);
    pRecord
        ->add_option("--port,-p", parsed.profiling.port,
                     "Loopback port to listen on (default: any free port)")
        ->check(CLI::Range(0, 65535));
    pRecord
        ->add_option("command", parsed.profiling.command, "The program and its arguments, after --")
        ->required();
    pRecord->footer(RecordFooter);

    CLI::App* pListen = app.add_subcommand(
        "listen", "Record profiled processes started elsewhere, connecting to a port");
    AddProfilingOptions(*pListen, parsed.profiling, raw);
    ListenOnly(*pListen, parsed.profiling);
    pListen->footer(ListenFooter);

    CLI::App* pReport = app.add_subcommand("report", "Show what snapshot files hold");
    pReport->add_option("files", parsed.report.files, "Snapshot files")->required();
    pReport->add_option("--view", parsed.report.views, "Show only these views:" + ViewList())
        ->check(CLI::IsMember(ReportViews::Names()))
        ->allow_extra_args(false);
    pReport->add_option("--limit", parsed.report.limit, "Rows of long lists (0: all)")
        ->default_str("25");
    pReport->add_option("--depth", parsed.report.depth, "Call tree: levels shown below the thread")
        ->default_str("12");
    pReport
        ->add_option("--threshold", parsed.report.threshold,
                     "Call tree: leave out calls under this share of the thread's time, in "
                     "percent")
        ->check(CLI::Range(0.0, 100.0))
        ->default_str("1");
    pReport->add_flag("--threads", parsed.report.perThread,
                      "Performance views per thread instead of all threads merged");
    pReport->footer(ReportFooter);

    CLI::App* pExport =
        app.add_subcommand("export", "Write a performance snapshot in a format other tools open");
    pExport->add_option("file", parsed.exporting.file, "Snapshot file")->required();
    pExport->add_option("--format,-f", parsed.exporting.format, "The format:" + FormatList())
        ->required()
        ->check(CLI::IsMember(ExportCommand::FormatNames()));
    pExport->add_option("-o,--output", parsed.exporting.output,
                        "The file to write (- for standard output)");
    pExport->footer(ExportFooter);

    CLI::App* pDiff =
        app.add_subcommand("diff", "Compare two performance snapshots function by function");
    pDiff->add_option("before", parsed.diff.before, "Snapshot A, the baseline")->required();
    pDiff->add_option("after", parsed.diff.after, "Snapshot B")->required();
    pDiff->add_option("--by", parsed.diff.by, "Order by the change of own or of total time")
        ->check(CLI::IsMember({"own", "total"}))
        ->default_str("own");
    pDiff->add_option("--limit", parsed.diff.limit, "Rows shown (0: all)")->default_str("25");
    pDiff->footer(DiffFooter);

    const bool separated = std::any_of(argv + 1, argv + argc, [](const char* pArgument) {
        return std::string(pArgument) == "--";
    });
    app.failure_message([separated](const CLI::App* pApp, const CLI::Error& error) {
        std::string text = std::string("qvprof: error: ") + error.what() + "\n";
        const std::string command = pApp->get_subcommands().empty()
                                        ? std::string()
                                        : " " + pApp->get_subcommands().front()->get_name();
        if (command == " record" && !separated) {
            text +=
                "Put the program after --, as in: qvprof record --mode test -- dotnet build "
                "-c Release\n";
        }
        return text + "Run 'qvprof" + command + " --help' for the options.\n";
    });
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        parsed.exit = true;
        const int code = app.exit(error);
        parsed.exitCode = code == 0 ? ExitSuccess : ExitUsage;
        return parsed;
    }

    if (pRecord->parsed() || pListen->parsed()) {
        if (!raw.logMask.empty()) {
            parsed.profiling.logMask = ParseMask(raw.logMask);
            if (!parsed.profiling.logMask) {
                std::cerr << "qvprof: error: --log-mask '" << raw.logMask
                          << "' is not a 32-bit number (decimal, or hexadecimal with 0x)\n";
                parsed.exit = true;
                parsed.exitCode = ExitUsage;
                return parsed;
            }
        }
        const std::string problems = SessionSettings::Check(parsed.profiling);
        if (!problems.empty()) {
            std::cerr << "qvprof: error: " << problems << "\n";
            parsed.exit = true;
            parsed.exitCode = ExitUsage;
            return parsed;
        }
        const std::string advice = SessionSettings::Advise(parsed.profiling);
        if (!advice.empty()) {
            std::cerr << "qvprof: warning: " << advice << "\n";
        }
    }
    parsed.command = pRecord->parsed()   ? Command::Record
                     : pListen->parsed() ? Command::Listen
                     : pExport->parsed() ? Command::Export
                     : pDiff->parsed()   ? Command::Diff
                                         : Command::Report;
    return parsed;
}

}  // namespace Qvprof
