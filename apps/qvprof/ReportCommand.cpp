#include "ReportCommand.h"

#include <cstdio>

#include "ExitCodes.h"
#include "ReportViews.h"
#include "SnapshotContents.h"

namespace Qvprof {

std::string ReportCommand::Report(const std::string& file, const ReportOptions& options) {
    const std::vector<const IReportView*> views = ReportViews::Choose(options.views);
    const SnapshotContents contents = SnapshotContents::Load(file);
    std::string text;
    for (const IReportView* pView : views) {
        if (pView->AppliesTo(contents)) {
            text += pView->Write(contents, options);
        } else if (!options.views.empty()) {
            text += "\n(" + pView->Name() + ": nothing to show for this snapshot)\n";
        }
    }
    return text;
}

int ReportCommand::Run(const ReportOptions& options, Console& console) {
    int result = ExitSuccess;
    bool first = true;
    for (const std::string& file : options.files) {
        try {
            AnnounceLargeSnapshot(file, console);
            const std::string text = Report(file, options);
            std::fputs(first ? "" : "\n", stdout);
            std::fputs(text.c_str(), stdout);
            std::fflush(stdout);
            first = false;
        } catch (const std::exception& error) {
            console.Error(error.what());
            result = ExitFailure;
        }
    }
    return result;
}

}  // namespace Qvprof
