// qvprof: wires the command line to the command it names.
#include <filesystem>

#include "CommandLine.h"
#include "Console.h"
#include "DiffCommand.h"
#include "ExitCodes.h"
#include "ExportCommand.h"
#include "ListenCommand.h"
#include "Platform/Process.h"
#include "RecordCommand.h"
#include "ReportCommand.h"
#include "Util/Utf8.h"

namespace {

// Where this executable lies: the profiler libraries are found from there.
std::filesystem::path ExecutableDirectory(const char* pArgument0) {
    WString self;
    if (!Platform::GetExecutablePath(&self)) {
        return std::filesystem::absolute(pArgument0).parent_path();
    }
    return std::filesystem::path(ToUtf8(self)).parent_path();
}

}  // namespace

int main(int argc, char** argv) {
    using namespace Qvprof;
    const CommandLine::Parsed parsed = CommandLine::Parse(argc, argv);
    if (parsed.exit) {
        return parsed.exitCode;
    }
    Console console(stderr, Console::IsTerminal(stderr), parsed.profiling.quiet);
    switch (parsed.command) {
        case CommandLine::Command::Record:
            return RecordCommand::Run(parsed.profiling, console, ExecutableDirectory(argv[0]));
        case CommandLine::Command::Listen:
            return ListenCommand::Run(parsed.profiling, console, ExecutableDirectory(argv[0]));
        case CommandLine::Command::Report:
            return ReportCommand::Run(parsed.report, console);
        case CommandLine::Command::Export:
            return ExportCommand::Run(parsed.exporting, console);
        case CommandLine::Command::Diff:
            return DiffCommand::Run(parsed.diff, console);
        default:
            return ExitUsage;
    }
}
