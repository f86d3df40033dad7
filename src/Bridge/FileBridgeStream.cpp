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
    m_Pending = 0;
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
    FlushPending();
    const long position = std::ftell(m_pFile);
    if (position < 0) {
        throw std::runtime_error("Can't get file position");
    }
    return position;
}

void FileBridgeStream::SeekFile(int32_t origin, int64_t offset) {
    CheckOpen();
    int whence = 0;
    switch (origin) {
        case SeekBegin:
            whence = SEEK_SET;
            break;
        case SeekCurrent:
            whence = SEEK_CUR;
            break;
        case SeekEnd:
            whence = SEEK_END;
            break;
        default:
            throw std::runtime_error("Can't seek position");
    }
    FlushPending();
    if (offset < std::numeric_limits<long>::min() || offset > std::numeric_limits<long>::max() ||
        std::fseek(m_pFile, static_cast<long>(offset), whence) != 0) {
        throw std::runtime_error("Can't seek position");
    }
    m_LastDirection = Direction::None;
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

void FileBridgeStream::TurnTo(Direction direction) {
    if (m_LastDirection != direction) {
        if (m_LastDirection != Direction::None && std::fseek(m_pFile, 0, SEEK_CUR) != 0) {
            throw std::runtime_error("Can't seek position");
        }
        m_LastDirection = direction;
    }
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
        WriteThrough(data, count);
        return;
    }
    if (!m_pWriteBuffer) {
        m_pWriteBuffer.reset(new char[WriteBufferSize]);
    }
    if (m_Pending + count > WriteBufferSize) {
        FlushPending();
    }
    std::memcpy(m_pWriteBuffer.get() + m_Pending, data, count);
    m_Pending += count;
    m_WriteRoom = WriteBufferSize - m_Pending;
}

void FileBridgeStream::FlushPending() {
    if (m_Pending == 0) {
        return;
    }
    const size_t pending = m_Pending;
    m_Pending = 0;
    m_WriteRoom = WriteBufferSize;
    WriteThrough(m_pWriteBuffer.get(), pending);
}

void FileBridgeStream::WriteThrough(const void* data, size_t count) {
    TurnTo(Direction::Writing);
    const char* pData = static_cast<const char*>(data);
    while (count > 0) {
        const size_t written = std::fwrite(pData, 1, count, m_pFile);
        if (std::ferror(m_pFile) || written == 0) {
            throw std::runtime_error("Can't write data");
        }
        pData += written;
        count -= written;
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
    TurnTo(Direction::Reading);
    char* pBuffer = static_cast<char*>(buffer);
    while (count > 0) {
        const size_t read = std::fread(pBuffer, 1, count, m_pFile);
        // No progress without an error is the end of the file: we never wait for more data.
        if (std::ferror(m_pFile) || read == 0) {
            throw std::runtime_error("Can't read data");
        }
        pBuffer += read;
        count -= read;
    }
}

int64_t FileBridgeStream::Length() {
    const int64_t remembered = TellFile();
    SeekFile(SeekEnd, 0);
    const int64_t length = TellFile();
    SeekFile(SeekBegin, remembered);
    return length;
}
