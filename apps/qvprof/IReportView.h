// One part of `qvprof report`: the overview, the modules, the classes, and (as the kinds arrive)
// the call trees and heap dumps. A view says whether it has anything to show for a snapshot, and
// writes its text.
#pragma once

#include <string>

#include "ReportOptions.h"
#include "SnapshotContents.h"

namespace Qvprof {

class IReportView {
public:
    virtual ~IReportView() = default;

    // The name users give with --view.
    virtual std::string Name() const = 0;
    // One line for --help.
    virtual std::string Description() const = 0;
    virtual bool AppliesTo(const SnapshotContents& contents) const = 0;
    // The view's text, ending in a newline.
    virtual std::string Write(const SnapshotContents& contents,
                              const ReportOptions& options) const = 0;
};

}  // namespace Qvprof
