#include "Bridge/FileBridgeStream.h"

#include <limits>
#include <stdexcept>

#include "Platform/FileSystem.h"

FileBridgeStream::~FileBridgeStream() {
    const bool scratch = !m_Path.empty() && m_Created;
    if (m_pFile != nullptr) {
        if (!scratch) {
            try {
                FlushPending();
            } catch (const std::exception&) {
                // Nobody is left to tell; Close is the way to learn of a failed write.
            }
        }
        std::fclose(m_pFile);
        m_pFile = nullptr;
    }
    if (scratch) {
        Platform::DeleteFile(m_Path);
    }
}

void FileBridgeStream::Bind(const WString& path, uint32_t access, const char* mode, bool created,
                            const char* failure) {
    FILE* pFile = Platform::OpenFile(path, mode);
    if (pFile == nullptr) {
        throw std::runtime_error(failure);
    }
    m_pFile = pFile;
    m_Path = path;
    m_Access = access;
    m_Created = created;
    m_LastDirection = Direction::None;
    m_LibraryPosition = 0;
    m_LibraryLength = created ? 0 : -1;  // Create truncates
    m_WindowStart = 0;
    m_Pending = 0;
    m_Cursor = 0;
    m_WriteRoom = 0;
}

void FileBridgeStream::Open(const WString& path, uint32_t access) {
    if (m_pFile != nullptr) {
        throw std::runtime_error("File is created");
    }
    const char* mode = nullptr;
    switch (access) {
        case AccessRead:
            mode = "rb";
            break;
        case AccessWrite:
        case AccessReadWrite:
            mode = "r+b";
            break;
        default:
            throw std::runtime_error("Invalid file access");
    }
    Bind(path, access, mode, false, "Can't open file");
}

void FileBridgeStream::Create(const WString& path, uint32_t access) {
    if (m_pFile != nullptr) {
        throw std::runtime_error("File is created");
    }
    const char* mode = nullptr;
    switch (access) {
        case AccessRead:
        case AccessReadWrite:
            mode = "w+b";
            break;
        case AccessWrite:
            mode = "wb";
            break;
        default:
            throw std::runtime_error("Invalid file access");
    }
    Bind(path, access, mode, true, "Can't create file");
}

void FileBridgeStream::Close() {
    CheckOpen();
    bool failed = false;
    try {
        FlushPending();
    } catch (const std::exception&) {
        failed = true;
    }
    FILE* pFile = m_pFile;
    m_pFile = nullptr;
    m_Path.clear();
    m_WriteRoom = 0;
    // Closing writes out the library's buffer: a full disk shows up here, and must not pass as
    // a saved file.
    if (std::fclose(pFile) != 0 || failed) {
        throw std::runtime_error("Can't write data");
    }
}

void FileBridgeStream::CheckOpen() const {
    if (m_pFile == nullptr) {
        throw std::runtime_error("File is closed");
    }
}

int64_t FileBridgeStream::TellFile() {
    CheckOpen();
    return m_WindowStart + static_cast<int64_t>(m_Cursor);
}

void FileBridgeStream::SeekFile(int32_t origin, int64_t offset) {
    CheckOpen();
    int64_t base = 0;
    switch (origin) {
        case SeekBegin:
            break;
        case SeekCurrent:
            base = TellFile();
            break;
        case SeekEnd:
            base = Length();
            break;
        default:
            throw std::runtime_error("Can't seek position");
    }
    // The file library takes positions as long: 31 bits on the 32-bit build.
    if (offset < -base || offset > std::numeric_limits<long>::max() - base) {
        throw std::runtime_error("Can't seek position");
    }
    Reposition(base + offset);
}

int32_t FileBridgeStream::Tell() {
    const int64_t position = TellFile();
    if (position > std::numeric_limits<int32_t>::max()) {
        throw std::runtime_error("Can't get file position");
    }
    return static_cast<int32_t>(position);
}

void FileBridgeStream::Seek(int32_t origin, int32_t offset) {
    SeekFile(origin, offset);
}

void FileBridgeStream::Reposition(int64_t target) {
    if (m_pWriteBuffer && target >= m_WindowStart &&
        target <= m_WindowStart + static_cast<int64_t>(m_Pending)) {
        m_Cursor = static_cast<size_t>(target - m_WindowStart);
    } else {
        FlushPending();
        m_WindowStart = target;
        m_Cursor = 0;
    }
    UpdateWriteRoom();
}

void FileBridgeStream::UpdateWriteRoom() {
    m_WriteRoom = m_pFile != nullptr && (m_Access & AccessWrite) != 0 && m_pWriteBuffer &&
                          m_Cursor == m_Pending
                      ? WriteBufferSize - m_Cursor
                      : 0;
}

void FileBridgeStream::PlaceLibrary(int64_t offset, Direction direction) {
    const bool turning = m_LastDirection != Direction::None && m_LastDirection != direction;
    if (turning || m_LibraryPosition != offset) {
        m_LibraryPosition = -1;
        if (std::fseek(m_pFile, static_cast<long>(offset), SEEK_SET) != 0) {
            throw std::runtime_error("Can't seek position");
        }
        m_LibraryPosition = offset;
    }
    m_LastDirection = direction;
}

int64_t FileBridgeStream::LibraryLength() {
    if (m_LibraryLength < 0) {
        m_LibraryPosition = -1;
        m_LastDirection = Direction::None;
        long length = -1;
        if (std::fseek(m_pFile, 0, SEEK_END) != 0 || (length = std::ftell(m_pFile)) < 0) {
            throw std::runtime_error("Can't seek position");
        }
        m_LibraryPosition = length;
        m_LibraryLength = length;
    }
    return m_LibraryLength;
}

void FileBridgeStream::WriteChecked(const void* data, size_t count) {
    CheckOpen();
    if ((m_Access & AccessWrite) == 0) {
        throw std::runtime_error("No write access");
    }
    if (count == 0) {
        return;
    }
    if (count >= WriteBufferSize) {
        FlushPending();
        const int64_t offset = m_WindowStart;
        WriteAt(offset, data, count);
        m_WindowStart = offset + static_cast<int64_t>(count);
        UpdateWriteRoom();
        return;
    }
    if (!m_pWriteBuffer) {
        m_pWriteBuffer.reset(new char[WriteBufferSize]);
    }
    if (m_Cursor + count > WriteBufferSize) {
        FlushPending();
    }
    std::memcpy(m_pWriteBuffer.get() + m_Cursor, data, count);
    m_Cursor += count;
    if (m_Cursor > m_Pending) {
        m_Pending = m_Cursor;
    }
    UpdateWriteRoom();
}

void FileBridgeStream::FlushPending() {
    const size_t pending = m_Pending;
    const int64_t start = m_WindowStart;
    // The window restarts empty at the position before anything is written: after a failure
    // its bytes are gone, and a retry must not write them twice.
    m_WindowStart += static_cast<int64_t>(m_Cursor);
    m_Cursor = 0;
    m_Pending = 0;
    UpdateWriteRoom();
    if (pending != 0) {
        WriteAt(start, m_pWriteBuffer.get(), pending);
    }
}

void FileBridgeStream::WriteAt(int64_t offset, const void* data, size_t count) {
    PlaceLibrary(offset, Direction::Writing);
    const char* pData = static_cast<const char*>(data);
    size_t left = count;
    while (left > 0) {
        const size_t written = std::fwrite(pData, 1, left, m_pFile);
        if (std::ferror(m_pFile) || written == 0) {
            m_LibraryPosition = -1;
            m_LibraryLength = -1;
            throw std::runtime_error("Can't write data");
        }
        pData += written;
        left -= written;
    }
    m_LibraryPosition = offset + static_cast<int64_t>(count);
    if (m_LibraryLength >= 0 && m_LibraryPosition > m_LibraryLength) {
        m_LibraryLength = m_LibraryPosition;
    }
}

void FileBridgeStream::Read(void* buffer, size_t count) {
    CheckOpen();
    if ((m_Access & AccessRead) == 0) {
        throw std::runtime_error("No read access");
    }
    if (count == 0) {
        return;
    }
    FlushPending();
    const int64_t offset = m_WindowStart;
    PlaceLibrary(offset, Direction::Reading);
    char* pBuffer = static_cast<char*>(buffer);
    size_t left = count;
    while (left > 0) {
        const size_t read = std::fread(pBuffer, 1, left, m_pFile);
        // No progress without an error is the end of the file: we never wait for more data.
        if (std::ferror(m_pFile) || read == 0) {
            // The stream stands where the library stopped; the next use positions the library
            // again, which also clears its end-of-file state.
            m_WindowStart = offset + static_cast<int64_t>(count - left);
            m_LibraryPosition = -1;
            m_LastDirection = Direction::None;
            UpdateWriteRoom();
            throw std::runtime_error("Can't read data");
        }
        pBuffer += read;
        left -= read;
    }
    m_WindowStart = offset + static_cast<int64_t>(count);
    m_LibraryPosition = m_WindowStart;
    UpdateWriteRoom();
}

int64_t FileBridgeStream::Length() {
    CheckOpen();
    // A window that holds bytes extends the file to its end once written; an empty one standing
    // past the end (after a seek there) does not.
    const int64_t windowEnd = m_Pending != 0 ? m_WindowStart + static_cast<int64_t>(m_Pending) : 0;
    const int64_t length = LibraryLength();
    return length > windowEnd ? length : windowEnd;
}
