// An open log in a fresh temporary directory for one test; closed again, and the temporary
// directory reset, however the test ends.
#pragma once

#include "Util/ComponentMask.h"
#include "support/ScratchDirectory.h"

class ScopedLog {
public:
    explicit ScopedLog(ComponentMask mask);
    ~ScopedLog();

    ScopedLog(const ScopedLog&) = delete;
    ScopedLog& operator=(const ScopedLog&) = delete;

    const ScratchDirectory& Directory() const { return m_Directory; }

private:
    ScratchDirectory m_Directory;
};
