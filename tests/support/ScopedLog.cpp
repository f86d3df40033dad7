#include "support/ScopedLog.h"

#include "Util/Log.h"
#include "Util/TempFile.h"

ScopedLog::ScopedLog(ComponentMask mask) {
    SetTempDirectory(m_Directory.Wide().c_str());
    Log::Initialize(mask);
}

ScopedLog::~ScopedLog() {
    Log::Finish();
    SetTempDirectory(nullptr);
}
