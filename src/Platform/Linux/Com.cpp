#include "Platform/Com.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iterator>
#include <string_view>

#include "Platform/Format.h"
#include "Platform/Linux/NativeText.h"

namespace {

struct MessageText {
    uint32_t code;
    const char* text;
};

// Status codes of the COM layer, the host and the runtime's profiling and metadata interfaces.
constexpr MessageText StatusTexts[] = {
    {0x80004001, "The operation is not implemented."},
    {0x80004002, "The object does not offer the requested interface."},
    {0x80004003, "A required pointer is null or not valid."},
    {0x80004004, "The operation was aborted."},
    {0x80004005, "The operation failed for an unspecified reason."},
    {0x8000000A, "The data the operation needs is not available yet."},
    {0x80000019, "The wait ended because its time limit passed."},
    {0x8000FFFF, "The operation failed in an unexpected way."},
    {0x80040110, "The class cannot be created as part of an aggregate."},
    {0x80040111, "The class factory does not provide the requested class."},
    {0x80131100, "The metadata could not be read from the file."},
    {0x8013110E, "The metadata in the file is damaged."},
    {0x80131124, "A metadata index was not found."},
    {0x80131130, "The metadata record for the token or row was not found."},
    {0x8013115F, "The token is of the wrong kind for this metadata call."},
    {0x8013118A, "The metadata is not valid."},
    {0x80131192, "A metadata signature is not valid."},
    {0x80131193, "A parameter of the metadata call is not valid."},
    {0x80131350, "The function has not been compiled yet."},
    {0x80131351, "The runtime has not finished loading the item the identifier names."},
    {0x80131354, "The function has no intermediate-language body."},
    {0x80131355, "The calling thread is not a managed thread."},
    {0x80131356, "This call is allowed only while the profiler is initializing."},
    {0x8013135B, "The requested service is not available yet."},
    {0x8013135C, "The type is generic: its class identifier needs type arguments."},
    {0x8013135D, "The function is generic: its identifier needs type arguments."},
    {0x8013135E, "The target thread of the stack walk is not valid."},
    {0x8013135F, "The stack walk's starting context is not in managed code."},
    {0x80131360, "The stack cannot be walked safely at this time; try again later."},
    {0x80131361, "The stack walk was stopped by its callback."},
    {0x80131362, "A literal field has no address."},
    {0x80131363, "The call is not allowed from this thread or at this time."},
    {0x80131364, "The call is not safe to make asynchronously."},
    {0x80131365, "The class identifier names an array type."},
    {0x80131366, "The class identifier names a composite type that is not a class."},
    {0x80131367, "The profiler is being detached."},
    {0x80131368, "The profiler cannot be attached to a running process."},
    {0x80131369, "The attach request message has an unknown format."},
    {0x8013136A, "Another profiler is already active in the process."},
    {0x8013136B, "The profiled process does not match the trigger's version."},
    {0x8013136C, "Communication with the profiled process failed."},
    {0x8013136D, "The profiled process was not found."},
    {0x8013136E, "Attaching requires the third profiler callback interface."},
    {0x8013136F, "The call is not supported for an attaching profiler."},
    {0x80131370, "Instrumentation that cannot be undone is present."},
    {0x80131371, "The runtime has not been initialized yet."},
    {0x80131372, "Event flags that cannot be changed after start-up were requested."},
    {0x80131373, "The profiler has not been initialized yet."},
    {0x80131374, "The call does not agree with the event flags that are set."},
    {0x80131375, "The profiler chose not to load."},
    {0x80131376, "Garbage collections cannot be monitored while concurrent collection is on."},
    {0x80131378, "Debugging is disabled."},
    {0x80131379, "The wait for a concurrent garbage collection timed out."},
    {0x8013137A, "The module was created dynamically."},
    {0x8013137B, "The fourth profiler callback interface is required."},
    {0x8013137C, "Recompilation is not enabled."},
    {0x8013137E, "The function belongs to a collectible assembly."},
    {0x80131380, "The sixth profiler callback interface is required."},
    {0x80131382, "The seventh profiler callback interface is required."},
    {0x80131383, "Inlining is disabled for recompilation."},
    {0x80131388, "A runtime suspension is already in progress."},
    {0x80131389, "The object is not managed by the garbage collector."},
    {0x80131515, "The operation is not supported."},
};

// The OS error numbers; a status code of the Win32 facility (0x8007xxxx) carries one in its low
// 16 bits.
constexpr MessageText OsErrorTexts[] = {
    {0, "The operation succeeded."},
    {1, "The function is not valid for this object."},
    {2, "The file was not found."},
    {3, "The path was not found."},
    {4, "Too many files are open."},
    {5, "Access was denied."},
    {6, "The handle is not valid."},
    {8, "There is not enough memory for this operation."},
    {13, "The data is not valid."},
    {14, "Memory ran out before the operation could finish."},
    {18, "There are no more files."},
    {31, "A device attached to the system does not work."},
    {32, "The file is in use by another process."},
    {38, "The end of the file was reached."},
    {50, "The request is not supported."},
    {80, "The file already exists."},
    {87, "A parameter is not valid."},
    {109, "The pipe was closed."},
    {112, "The disk is full."},
    {122, "The buffer passed to the call is too small."},
    {183, "The file or directory already exists."},
    {206, "The file name is too long."},
    {234, "More data is available than the buffer holds."},
    {258, "The wait timed out."},
    {259, "There are no more items."},
    {995, "The operation was aborted."},
    {1460, "The operation did not finish within its time limit."},
    {10054, "The connection was reset by the other side."},
    {10060, "The connection attempt timed out."},
    {10061, "The other side refused the connection."},
};

const char* FindText(const MessageText* table, size_t count, uint32_t code) {
    for (size_t i = 0; i < count; ++i) {
        if (table[i].code == code) {
            return table[i].text;
        }
    }
    return nullptr;
}

bool ReadRandomBytes(void* buffer, size_t size) {
    auto* bytes = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < size) {
        const ssize_t got = getrandom(bytes + done, size - done, 0);
        if (got > 0) {
            done += static_cast<size_t>(got);
        } else if (got < 0 && errno == ENOSYS) {
            break;
        } else if (got < 0 && errno != EINTR) {
            return false;
        }
    }
    if (done == size) {
        return true;
    }
    // Kernels without getrandom still have the random device.
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    while (done < size) {
        const ssize_t got = read(fd, bytes + done, size - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        done += static_cast<size_t>(got);
    }
    close(fd);
    return done == size;
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

void WriteToStandardError(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        done += static_cast<size_t>(written);
    }
}

}  // namespace

HRESULT CoCreateGuid(GUID* guid) {
    if (guid == nullptr) {
        return E_INVALIDARG;
    }
    if (!ReadRandomBytes(guid, sizeof(GUID))) {
        return E_FAIL;
    }
    // Version 4 (random) in the top nibble of Data3, the standard variant in the top bits of
    // Data4[0].
    guid->Data3 = static_cast<uint16_t>((guid->Data3 & 0x0FFF) | 0x4000);
    guid->Data4[0] = static_cast<uint8_t>((guid->Data4[0] & 0x3F) | 0x80);
    return S_OK;
}

namespace Platform {

std::string GuidToString(const GUID& guid) {
    char text[40];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                  guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                  guid.Data4[6], guid.Data4[7]);
    return text;
}

bool GuidFromString(const std::string& text, GUID* guid) {
    std::string_view body(text);
    if (body.size() == 38 && body.front() == '{' && body.back() == '}') {
        body = body.substr(1, 36);
    }
    if (body.size() != 36 || guid == nullptr) {
        return false;
    }
    uint8_t bytes[16];
    size_t count = 0;
    for (size_t i = 0; i < body.size();) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (body[i] != '-') {
                return false;
            }
            ++i;
            continue;
        }
        const int high = HexDigitValue(body[i]);
        const int low = i + 1 < body.size() ? HexDigitValue(body[i + 1]) : -1;
        if (high < 0 || low < 0) {
            return false;
        }
        bytes[count++] = static_cast<uint8_t>(high << 4 | low);
        i += 2;
    }
    // The text shows the first three fields as numbers, the last eight bytes in memory order.
    guid->Data1 = static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
                  static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
    guid->Data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
    guid->Data3 = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
    for (size_t i = 0; i < 8; ++i) {
        guid->Data4[i] = bytes[8 + i];
    }
    return true;
}

bool FormatSystemMessage(HRESULT code, WString* text) {
    const auto value = static_cast<uint32_t>(code);
    const char* found = FindText(StatusTexts, std::size(StatusTexts), value);
    if (found == nullptr && (value & 0xFFFF0000) == 0x80070000) {
        found = FindText(OsErrorTexts, std::size(OsErrorTexts), value & 0xFFFF);
    } else if (found == nullptr && value <= 0xFFFF) {
        found = FindText(OsErrorTexts, std::size(OsErrorTexts), value);
    }
    if (found == nullptr || text == nullptr) {
        return false;
    }
    *text = Native::FromUtf8(found);
    return true;
}

void ShowInformationMessage(const WString& title, const WString& text) {
    std::string message = Native::ToUtf8(title) + "\n";
    for (char c : Native::ToUtf8(text)) {
        if (c != '\r') {
            message += c;
        }
    }
    message += "\n";
    const bool interactive = isatty(STDIN_FILENO) != 0;
    if (interactive) {
        message += "Press Enter to continue.\n";
    }
    WriteToStandardError(message);
    if (!interactive) {
        return;
    }
    char c = 0;
    for (;;) {
        const ssize_t got = read(STDIN_FILENO, &c, 1);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0 || c == '\n') {
            return;
        }
    }
}

}  // namespace Platform

WString _com_error::ErrorMessage() const {
    WString text;
    if (Platform::FormatSystemMessage(m_hr, &text)) {
        return text;
    }
    const auto code = static_cast<uint32_t>(m_hr);
    char buffer[64];
    if (code >= 0x80040200 && code <= 0x8004FFFF) {
        Platform::Format(buffer, sizeof(buffer), "IDispatch error #%d",
                         static_cast<int>(code - 0x80040200));
    } else {
        Platform::Format(buffer, sizeof(buffer), "Unknown error 0x%0lX",
                         static_cast<unsigned long>(code));
    }
    return Platform::Native::FromUtf8(buffer);
}
