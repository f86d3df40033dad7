// A file as a bridge stream: a buffered standard-library file bound by Open or Create, readable,
// writable and seekable as its access mask allows.
//
// A file made by Create is a scratch file until Close: destroying the stream without Close
// deletes it, so an abandoned snapshot or temporary file leaves nothing behind. A file bound by
// Open is never deleted.
//
// Small writes (counters arrive a byte at a time) gather in a buffer of the stream's own before
// they reach the file library, which takes a lock per call. Every other operation hands them on
// first, so positions, lengths and reads always see them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "Bridge/IReadWriteBridgeStream.h"
#include "Platform/Types.h"

class FileBridgeStream : public IReadWriteBridgeStream {
public:
    // Access mask bits.
    static constexpr uint32_t AccessRead = 1;
    static constexpr uint32_t AccessWrite = 2;
    static constexpr uint32_t AccessReadWrite = AccessRead | AccessWrite;

    FileBridgeStream() = default;
    ~FileBridgeStream() override;

    FileBridgeStream(const FileBridgeStream&) = delete;
    FileBridgeStream& operator=(const FileBridgeStream&) = delete;

    // Binds an existing file: access 1 reads it, 2 or 3 also write it in place.
    void Open(const WString& path, uint32_t access);
    // Creates or truncates the file.
    void Create(const WString& path, uint32_t access);
    // Releases the file and leaves it on disk. A failure to write what was buffered raises
    // "Can't write data" after the file is released.
    void Close();

    bool IsOpen() const { return m_pFile != nullptr; }
    const WString& GetPath() const { return m_Path; }
    uint32_t GetAccess() const { return m_Access; }
    bool IsCreated() const { return m_Created; }

    // A position beyond the 32-bit range raises "Can't get file position".
    int32_t Tell() override;
    // Origins 0, 1, 2; anything else, or a failing seek, raises "Can't seek position".
    void Seek(int32_t origin, int32_t offset) override;
    void Write(const void* data, size_t count) override {
        // `count - 1` makes an empty write take the checked path, which ignores it.
        if (count - 1 < m_WriteRoom) {
            char* pTarget = m_pWriteBuffer.get() + m_Pending;
            if (count == 1) {
                *pTarget = *static_cast<const char*>(data);
            } else {
                std::memcpy(pTarget, data, count);
            }
            m_Pending += count;
            m_WriteRoom -= count;
            return;
        }
        WriteChecked(data, count);
    }
    // Reaching the end of the file before `count` bytes raises "Can't read data".
    void Read(void* buffer, size_t count) override;

    // The whole file's length; the position is unchanged afterwards.
    int64_t Length();

    // The position in the whole file, at the file library's full width. Streams that live inside
    // a file (sections) position themselves with these.
    int64_t TellFile();
    void SeekFile(int32_t origin, int64_t offset);

protected:
    // Raises "File is closed" when no file is bound.
    void CheckOpen() const;

private:
    enum class Direction { None, Reading, Writing };

    static constexpr size_t WriteBufferSize = 4096;

    void Bind(const WString& path, uint32_t access, const char* mode, bool created,
              const char* failure);
    void WriteChecked(const void* data, size_t count);
    void WriteThrough(const void* data, size_t count);
    // Hands the gathered bytes to the file library; on failure they are dropped.
    void FlushPending();
    // The file library needs a positioning call between reading and writing on one handle.
    void TurnTo(Direction direction);

    WString m_Path;  // kept until Close; a created file still named here is deleted with us
    FILE* m_pFile = nullptr;
    uint32_t m_Access = 0;
    bool m_Created = false;
    Direction m_LastDirection = Direction::None;

    // Bytes written but not yet handed to the file library; they belong at its position.
    std::unique_ptr<char[]> m_pWriteBuffer;
    size_t m_Pending = 0;
    // Free bytes in the buffer; 0 whenever the fast path must not be taken (no file, no write
    // access, no buffer yet).
    size_t m_WriteRoom = 0;
};
