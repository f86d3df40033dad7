// Every view `qvprof report` knows, in the order they are shown. A new view (call trees, heap
// dumps) is one class and one line in All().
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "IReportView.h"

namespace Qvprof {

class ReportViews {
public:
    static const std::vector<std::unique_ptr<IReportView>>& All();
    static std::vector<std::string> Names();
    // The views for a snapshot: those named (empty: every one that applies). Raises
    // std::runtime_error for an unknown name.
    static std::vector<const IReportView*> Choose(const std::vector<std::string>& names);
};

}  // namespace Qvprof
