// The load entry points only forward to the shared routine with their kind's factory.
#include "WinCE/Exports.h"
#include "WinCE/LoadService.h"
#include "WinCE/ProfilerFactories.h"

HRESULT InitializeProfiler_D37A1B78_6DC3_46FD_BC31_F7C4D5A11C9C(DWORD command, IUnknown* pHost) {
    return RunLoadService(command, pHost, &CreatePerformanceTracingProfiler);
}

HRESULT InitializeProfiler_D37A1B78_6DC5_46FD_BC31_F7C4D5A11C9C(DWORD command, IUnknown* pHost) {
    return RunLoadService(command, pHost, &CreatePerformanceSamplingProfiler);
}

HRESULT InitializeProfiler_D37A1B78_6DC6_46FD_BC31_F7C4D5A11C9C(DWORD command, IUnknown* pHost) {
    return RunLoadService(command, pHost, &CreateMemoryProfiler);
}

HRESULT InitializeProfiler_D37A1B78_7DC3_46FD_BC31_F7C4D5A11C9C(DWORD command, IUnknown* pHost) {
    return RunLoadService(command, pHost, &CreateTestProfiler1);
}

HRESULT InitializeProfiler_D37A1B78_7DC4_46FD_BC31_F7C4D5A11C9C(DWORD command, IUnknown* pHost) {
    return RunLoadService(command, pHost, &CreateTestProfiler2);
}

HRESULT InitializeProfiler_D37A1B78_7DC5_46FD_BC31_F7C4D5A11C9C(DWORD command, IUnknown* pHost) {
    return RunLoadService(command, pHost, &CreateTestProfiler3);
}
