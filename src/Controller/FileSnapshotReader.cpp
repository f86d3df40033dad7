#include "Controller/FileSnapshotReader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "Bridge/BridgeStreamHelpers.h"
#include "Controller/LargeBytes.h"
#include "Controller/SpanReadStream.h"

namespace Controller {

namespace {

struct IndexRecord {
    uint16_t type;
    uint16_t version;
    int64_t size;
    uint16_t dataFile;
};

std::string Hex(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof(text), "%0*X", digits, value);
    return text;
}

std::runtime_error Damaged(const std::string& path, const std::string& what) {
    return std::runtime_error("The snapshot index file '" + path + "' is damaged: " + what);
}

// The paths come from the profiled process and may name anything here: only regular files are
// opened, since opening a FIFO waits for a writer and a device need never end. A path that is
// missing or cannot be looked at is left to the open, which names it.
void RequireRegularFile(const std::string& path, const std::string& what) {
    std::error_code ignored;
    switch (std::filesystem::status(path, ignored).type()) {
    case std::filesystem::file_type::regular:
    case std::filesystem::file_type::not_found:
    case std::filesystem::file_type::none:
        return;
    default:
        throw std::runtime_error(what + " is not a regular file");
    }
}

std::vector<BYTE> LoadIndex(const std::string& path) {
    RequireRegularFile(path, "The snapshot index file '" + path + "'");
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        throw std::runtime_error("Can't open the snapshot index file '" + path + "'");
    }
    const std::streamoff size = in.tellg();
    if (size < 0 || static_cast<uint64_t>(size) > FileSnapshotReader::MaxIndexSize) {
        throw Damaged(path, "it is larger than any index the profiler writes");
    }
    std::vector<BYTE> bytes(static_cast<size_t>(size));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), size);
    if (!in) {
        throw std::runtime_error("Can't read the snapshot index file '" + path + "'");
    }
    return bytes;
}

std::vector<IndexRecord> ParseIndex(const std::string& path, const std::vector<BYTE>& bytes,
                                    uint32_t* magic) {
    SpanReadStream in(bytes.data(), bytes.size(), "");
    if (bytes.size() < 12) {
        throw Damaged(path, "it is " + std::to_string(bytes.size()) +
                                " bytes long, shorter than an empty index");
    }
    const uint16_t indexMagic = ReadU16(in);
    if (indexMagic != FileSnapshotReader::IndexMagic) {
        throw std::runtime_error("'" + path + "' is not a snapshot index file: it begins with " +
                                 Hex(indexMagic, 4) + ", not " +
                                 Hex(FileSnapshotReader::IndexMagic, 4));
    }
    *magic = ReadU32(in);
    const uint32_t count = ReadU32(in);

    std::vector<IndexRecord> records;
    for (;;) {
        if (in.GetRemaining() < 2) {
            throw Damaged(path, "it ends without its end marker");
        }
        const uint16_t type = ReadU16(in);
        if (type == FileSnapshotReader::EndMarker) {
            break;
        }
        if (records.size() >= count) {
            throw Damaged(path, "it lists more sections than its count of " +
                                    std::to_string(count));
        }
        if (in.GetRemaining() < FileSnapshotReader::RecordSize - 2) {
            throw Damaged(path, "its record " + std::to_string(records.size()) + " is cut short");
        }
        IndexRecord record{type, 0, 0, 0};
        record.version = ReadU16(in);
        record.size = ReadI64(in);
        record.dataFile = ReadU16(in);
        records.push_back(record);
    }
    if (records.size() != count) {
        throw Damaged(path, "it lists " + std::to_string(records.size()) +
                                " sections but its count says " + std::to_string(count));
    }
    if (in.GetRemaining() != 0) {
        throw Damaged(path, std::to_string(in.GetRemaining()) +
                                " unexpected bytes follow its end marker");
    }
    return records;
}

// A whole data file mapped read-only; unmapped with the last section that views it.
class FileMapping {
public:
    FileMapping(void* pBase, size_t length) noexcept : m_pBase(pBase), m_Length(length) {}
    ~FileMapping() { munmap(m_pBase, m_Length); }
    FileMapping(const FileMapping&) = delete;
    FileMapping& operator=(const FileMapping&) = delete;
    const BYTE* Data() const noexcept { return static_cast<const BYTE*>(m_pBase); }

private:
    void* m_pBase;
    size_t m_Length;
};

// Maps the file at `path`, `length` bytes, with its pages entered at once (they are in the page
// cache, just written). Null when the system refuses: the caller reads the file instead.
std::shared_ptr<const FileMapping> MapFile(const std::string& path, uint64_t length) {
    if (length == 0 || length > std::numeric_limits<size_t>::max()) {
        return nullptr;
    }
    // Non-blocking: should the path have become a FIFO since it was checked, the open returns
    // at once (and the check below refuses it) instead of waiting for a writer.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return nullptr;
    }
    struct stat status {};
    void* pBase = MAP_FAILED;
    // The length is the one the sections were checked against; a file that changed since is
    // read, not mapped.
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
        static_cast<uint64_t>(status.st_size) == length) {
        pBase = mmap(nullptr, static_cast<size_t>(length), PROT_READ, MAP_PRIVATE | MAP_POPULATE,
                     fd, 0);
    }
    close(fd);
    if (pBase == MAP_FAILED) {
        return nullptr;
    }
    return std::make_shared<const FileMapping>(pBase, static_cast<size_t>(length));
}

// One data file while its sections are read in index order.
struct DataFile {
    std::ifstream stream;
    uint64_t length = 0;
    uint64_t next = 0;  // where the next section of this file starts
    std::shared_ptr<const FileMapping> pMapping;  // with Storage::Map, unless refused
    bool mapTried = false;
};

DataFile& OpenDataFile(std::map<uint16_t, DataFile>& files, const std::string& indexPath,
                       uint16_t number) {
    auto found = files.find(number);
    if (found != files.end()) {
        return found->second;
    }
    const std::string path = FileSnapshotReader::DataFilePath(indexPath, number);
    RequireRegularFile(path, "The data file '" + path + "' of the file snapshot");
    DataFile& file = files[number];
    file.stream.open(path, std::ios::binary | std::ios::ate);
    const std::streamoff length =
        file.stream ? static_cast<std::streamoff>(file.stream.tellg()) : -1;
    if (length < 0) {
        throw std::runtime_error("Can't open the data file '" + path + "' of the file snapshot");
    }
    file.length = static_cast<uint64_t>(length);
    return file;
}

}  // namespace

std::string FileSnapshotReader::DataFilePath(const std::string& indexPath, uint16_t number) {
    return indexPath + "." + Hex(number, 4);
}

Snapshot FileSnapshotReader::Read(const std::string& indexPath, int64_t maxSectionSize,
                                  Storage storage) {
    const std::vector<BYTE> indexBytes = LoadIndex(indexPath);
    Snapshot snapshot;
    const std::vector<IndexRecord> records = ParseIndex(indexPath, indexBytes, &snapshot.magic);
    snapshot.origin = SnapshotOrigin::FileStorage;

    std::map<uint16_t, DataFile> files;
    snapshot.sections.reserve(records.size());
    for (size_t i = 0; i < records.size(); ++i) {
        const IndexRecord& record = records[i];
        const std::string which = "section " + std::to_string(i) + " (type 0x" +
                                  Hex(record.type, 4) + ")";
        if (record.size < 0 || record.size > maxSectionSize) {
            throw Damaged(indexPath, which + " claims " + std::to_string(record.size) +
                                         " bytes, outside 0 to " + std::to_string(maxSectionSize));
        }
        DataFile& file = OpenDataFile(files, indexPath, record.dataFile);
        const uint64_t size = static_cast<uint64_t>(record.size);
        if (size > file.length - file.next) {
            throw std::runtime_error("The file snapshot '" + indexPath + "' is damaged: " + which +
                                     " reaches beyond the end of its data file '" +
                                     DataFilePath(indexPath, record.dataFile) + "' (" +
                                     std::to_string(file.length) + " bytes)");
        }
        SnapshotSection section;
        section.type = record.type;
        section.version = record.version;
        section.closed = true;
        if (storage == Storage::Map && !file.mapTried) {
            file.mapTried = true;
            file.pMapping = MapFile(DataFilePath(indexPath, record.dataFile), file.length);
        }
        if (file.pMapping != nullptr) {
            section.bytes = SectionBytes(file.pMapping, file.pMapping->Data() + file.next,
                                         static_cast<size_t>(size));
        } else {
            std::vector<BYTE> bytes = ReserveBytes(static_cast<size_t>(size));
            bytes.resize(static_cast<size_t>(size));
            file.stream.seekg(static_cast<std::streamoff>(file.next));
            file.stream.read(reinterpret_cast<char*>(bytes.data()),
                             static_cast<std::streamsize>(size));
            if (!file.stream) {
                throw std::runtime_error("Can't read the data file '" +
                                         DataFilePath(indexPath, record.dataFile) +
                                         "' of the file snapshot");
            }
            section.bytes = std::move(bytes);
        }
        file.next += size;
        snapshot.sections.push_back(std::move(section));
    }
    snapshot.complete = true;
    return snapshot;
}

void FileSnapshotReader::Remove(const std::string& indexPath) {
    std::error_code ignored;
    std::filesystem::remove(indexPath, ignored);
    for (uint32_t number = 0; number <= 0xFFFF; ++number) {
        if (!std::filesystem::remove(DataFilePath(indexPath, static_cast<uint16_t>(number)),
                                     ignored)) {
            break;
        }
    }
}

}  // namespace Controller
