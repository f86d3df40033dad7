// A self-contained HTML page with an interactive flame graph of a performance profile: every
// thread and all threads merged, callers below their callees, widths by total time. Hovering a
// frame shows its figures, clicking zooms to it, a search marks the frames whose names match. The
// data, script and style are inline: the page needs no network to open.
#pragma once

#include <string>

#include "Controller/Profile.h"

namespace Qvprof {

class FlameGraphHtml {
public:
    // `title` heads the page (the snapshot's file name).
    static std::string Write(const Controller::Profile& profile, const std::string& title);
    // The data the page draws: {"title", "names": [...], "threads": [{"name", "nodes": [[name,
    // parent, total ms, own ms, calls], ...]}]}, parents before their children, the merged view
    // first; '<' written as \u003c so that the text can stand inside a script element.
    static std::string Data(const Controller::Profile& profile, const std::string& title);
};

}  // namespace Qvprof
