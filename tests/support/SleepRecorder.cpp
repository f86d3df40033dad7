#include "support/SleepRecorder.h"

#include <mutex>

#include "Platform/Clock.h"

namespace {

std::mutex g_Lock;  // guards g_Requests; taken by whichever thread sleeps
std::vector<DWORD> g_Requests;

}  // namespace

void SleepRecorder::Sleep(DWORD milliseconds) {
    {
        std::lock_guard<std::mutex> guard(g_Lock);
        g_Requests.push_back(milliseconds);
    }
    Platform::Sleep(1);
}

std::vector<DWORD> SleepRecorder::Take() {
    std::lock_guard<std::mutex> guard(g_Lock);
    std::vector<DWORD> requests;
    requests.swap(g_Requests);
    return requests;
}
