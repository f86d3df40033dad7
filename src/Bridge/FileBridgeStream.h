// A file as a bridge stream: a buffered standard-library file bound by Open or Create, readable,
// writable and seekable as its access mask allows.
//
// A file made by Create is a scratch file until Close: destroying the stream without Close
// deletes it, so an abandoned snapshot or temporary file leaves nothing behind. A file bound by
// Open is never deleted.
//
// Writes gather in a window of the stream's own (counters arrive a byte at a time, and the file
// library takes a lock per call). The stream keeps its position and the file's length itself, so
// a seek or a tell costs no system call: a seek that stays inside the window only moves within
// it, and the window reaches the file library when it fills, when a write or a read lands outside
// it, and at Close. Snapshot storage seeks back and forth for every section it closes; without
// this each of those seeks flushed the library's buffer and moved the file's offset.
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
            char* pTarget = m_pWriteBuffer.get() + m_Cursor;
            if (count == 1) {
                *pTarget = *static_cast<const char*>(data);
            } else {
                std::memcpy(pTarget, data, count);
            }
            m_Cursor += count;
            m_Pending = m_Cursor;
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
    // Hands the window to the file library at its place; on failure its bytes are dropped. The
    // window then starts empty at the stream's position.
    void FlushPending();
    // Moves the stream's position, keeping the window when the target lies inside it.
    void Reposition(int64_t target);
    // Writes straight to the file library at `offset`.
    void WriteAt(int64_t offset, const void* data, size_t count);
    // Brings the file library to `offset` for the given direction: it needs a positioning call
    // between reading and writing on one handle, and gets one only then or when it stands
    // elsewhere.
    void PlaceLibrary(int64_t offset, Direction direction);
    // The length of what the file library holds, measured once for a file bound by Open.
    int64_t LibraryLength();
    void UpdateWriteRoom();

    WString m_Path;  // kept until Close; a created file still named here is deleted with us
    FILE* m_pFile = nullptr;
    uint32_t m_Access = 0;
    bool m_Created = false;
    Direction m_LastDirection = Direction::None;
    int64_t m_LibraryPosition = 0;  // where the file library stands; -1 when unknown
    int64_t m_LibraryLength = -1;   // -1 until known

    // The window: bytes [m_WindowStart, m_WindowStart + m_Pending) of the file, not yet handed to
    // the file library. The stream's position is m_WindowStart + m_Cursor, m_Cursor <= m_Pending.
    std::unique_ptr<char[]> m_pWriteBuffer;
    int64_t m_WindowStart = 0;
    size_t m_Pending = 0;
    size_t m_Cursor = 0;
    // Free bytes after the cursor when it stands at the window's end; 0 whenever the fast path
    // must not be taken (no file, no write access, no buffer yet, cursor inside the window).
    size_t m_WriteRoom = 0;
};
