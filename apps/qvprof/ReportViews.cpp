#include "ReportViews.h"

#include <stdexcept>

#include "AllocationsView.h"
#include "CallTreeView.h"
#include "ClassesView.h"
#include "HeapView.h"
#include "HotFunctionsView.h"
#include "ModulesView.h"
#include "OverviewView.h"

namespace Qvprof {

const std::vector<std::unique_ptr<IReportView>>& ReportViews::All() {
    static const auto* pViews = [] {
        auto* pList = new std::vector<std::unique_ptr<IReportView>>();
        pList->push_back(std::make_unique<OverviewView>());
        pList->push_back(std::make_unique<ModulesView>());
        pList->push_back(std::make_unique<HotFunctionsView>());
        pList->push_back(std::make_unique<CallTreeView>());
        pList->push_back(std::make_unique<HeapView>());
        pList->push_back(std::make_unique<AllocationsView>());
        pList->push_back(std::make_unique<ClassesView>());
        return pList;
    }();
    return *pViews;
}

std::vector<std::string> ReportViews::Names() {
    std::vector<std::string> names;
    for (const auto& pView : All()) {
        names.push_back(pView->Name());
    }
    return names;
}

std::vector<const IReportView*> ReportViews::Choose(const std::vector<std::string>& names) {
    std::vector<const IReportView*> chosen;
    if (names.empty()) {
        for (const auto& pView : All()) {
            chosen.push_back(pView.get());
        }
        return chosen;
    }
    for (const std::string& name : names) {
        const IReportView* pFound = nullptr;
        for (const auto& pView : All()) {
            pFound = pView->Name() == name ? pView.get() : pFound;
        }
        if (pFound == nullptr) {
            std::string known;
            for (const std::string& view : Names()) {
                known += (known.empty() ? "" : ", ") + view;
            }
            throw std::runtime_error("There is no view '" + name + "'; the views are " + known);
        }
        chosen.push_back(pFound);
    }
    return chosen;
}

}  // namespace Qvprof
