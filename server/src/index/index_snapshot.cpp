#include "index/index_snapshot.h"

#include "index/checksum.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace cumulo::server {

namespace {

constexpr std::array<char, 8> snapshot_magic = {'C', 'U', 'M', 'I', 'D', 'X', '\r', '\n'};
constexpr std::uint32_t format_version = 1;
constexpr std::uint64_t section_alignment = 64;

enum Section : std::size_t { identity, numbers, lengths, texts, grams, list_refs, list_bytes, section_count };
constexpr std::array<const char*, section_count> section_names = {"identity", "records", "record lengths", "texts",
                                                                   "grams", "list references", "lists"};

struct SectionEntry {
    std::uint64_t offset = 0, bytes = 0, checksum = 0;
};

// Where a coded list is in the lists section.
struct ListRef {
    std::uint64_t offset = 0;
    std::uint32_t count = 0, bytes = 0;
};

struct FileHeader {
    std::array<char, 8> magic = snapshot_magic;
    std::uint32_t version = format_version;
    std::uint32_t header_bytes = sizeof(FileHeader);
    std::uint64_t share_count = 0, gram_count = 0, position = 0;
    std::array<SectionEntry, section_count> sections{};
    std::uint64_t header_checksum = 0;  // of every byte before it
};
static_assert(sizeof(FileHeader) % 8 == 0 && sizeof(ListRef) == 16);

std::uint64_t header_checksum_of(const FileHeader& header)
{
    return checksum_of(&header, offsetof(FileHeader, header_checksum));
}

std::string system_error(const std::string& what, const std::string& path)
{
    return what + ' ' + path + ": " + std::strerror(errno);
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Appends sections to a new file, each at an aligned offset, with its checksum.
class SectionWriter {
public:
    SectionWriter(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}

    void begin(Section section)
    {
        pad_to(section_alignment);
        current_ = section;
        header_.sections[section].offset = offset_;
        checksum_ = Checksum();
    }
    void add(const void* data, std::size_t bytes)
    {
        write_all(data, bytes);
        checksum_.add(data, bytes);
        header_.sections[current_].bytes += bytes;
    }
    void end() { header_.sections[current_].checksum = checksum_.value(); }

    FileHeader& header() { return header_; }
    // Room for the header, written last when the checksums are known.
    void reserve_header() { write_all(&header_, sizeof header_); }

    void finish()
    {
        header_.header_checksum = header_checksum_of(header_);
        if (::lseek(fd_, 0, SEEK_SET) != 0)
            throw std::runtime_error(system_error("cannot write", path_));
        write_all(&header_, sizeof header_);
        if (::fsync(fd_) != 0)
            throw std::runtime_error(system_error("cannot sync", path_));
    }

    void pad_to(std::uint64_t alignment)
    {
        static constexpr std::array<char, section_alignment> zeros{};
        write_all(zeros.data(), (alignment - offset_ % alignment) % alignment);
    }

private:
    void write_all(const void* data, std::size_t bytes)
    {
        const auto* at = static_cast<const char*>(data);
        while (bytes > 0) {
            ssize_t written = ::write(fd_, at, bytes);
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0)
                throw std::runtime_error(system_error("cannot write", path_));
            at += written;
            bytes -= static_cast<std::size_t>(written);
            offset_ += static_cast<std::uint64_t>(written);
        }
    }

    int fd_;
    std::string path_;
    FileHeader header_;
    Section current_ = identity;
    Checksum checksum_;
    std::uint64_t offset_ = 0;
};

template <typename T>
void add_span(SectionWriter& writer, Section section, std::span<const T> items)
{
    writer.begin(section);
    writer.add(items.data(), items.size_bytes());
    writer.end();
}

void write_sections(SectionWriter& writer, const IndexParts& parts, const SnapshotKey& key)
{
    FileHeader& header = writer.header();
    header.share_count = parts.numbers.size();
    header.gram_count = parts.grams.size();
    header.position = key.position;
    writer.reserve_header();

    writer.begin(identity);
    writer.add(key.catalogue_identity.data(), key.catalogue_identity.size());
    writer.end();
    add_span(writer, numbers, parts.numbers);
    add_span(writer, lengths, parts.lengths);
    writer.begin(texts);
    writer.add(parts.texts.data(), parts.texts.size());
    writer.end();
    add_span(writer, grams, parts.grams);

    std::vector<ListRef> refs;
    refs.reserve(parts.lists.size() * share_type_count);
    writer.begin(list_bytes);
    std::uint64_t list_offset = 0;
    for (const ListsByType& by_type : parts.lists) {
        for (const CompactList& list : by_type) {
            refs.push_back({list_offset, list.count, list.bytes});
            writer.add(list.data, list.bytes);
            list_offset += list.bytes;
        }
    }
    writer.end();
    add_span(writer, list_refs, std::span<const ListRef>(refs));
}

// The snapshot file mapped read-only; unmapped when the last index using it goes.
class MappedFile {
public:
    MappedFile(void* data, std::size_t bytes) : data_(data), bytes_(bytes) {}
    ~MappedFile() { ::munmap(data_, bytes_); }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    const std::uint8_t* bytes() const { return static_cast<const std::uint8_t*>(data_); }
    std::size_t size() const { return bytes_; }

private:
    void* data_;
    std::size_t bytes_;
};

// Checks a mapped snapshot in the order that reads least before a mismatch is known: the
// header, where every section lies, the key, then the checksums and every record and list.
class SnapshotCheck {
public:
    // `expected` null: the snapshot is checked on its own, against no catalogue.
    SnapshotCheck(const MappedFile& file, const SnapshotKey* expected) : file_(file), expected_(expected) {}

    // The change the snapshot holds the catalogue at (once run has read the header).
    std::uint64_t position() const { return header_.position; }
    // The catalogue the snapshot was made from (once run has checked the identity).
    std::string catalogue_identity() const { return std::string(section_text(identity)); }

    // Why the snapshot cannot be used, or an empty text with `parts` filled.
    std::string run(IndexParts& parts)
    {
        if (file_.size() < sizeof(FileHeader))
            return "the file is shorter than its header (truncated)";
        std::memcpy(&header_, file_.bytes(), sizeof header_);
        if (header_.magic != snapshot_magic)
            return "the file is not an index snapshot";
        if (header_.version != format_version || header_.header_bytes != sizeof(FileHeader))
            return "the snapshot is of another format (" + std::to_string(header_.version) + ")";
        if (header_.header_checksum != header_checksum_of(header_))
            return "the snapshot's header is damaged (checksum)";
        for (std::size_t section = 0; section < section_count; ++section)
            if (std::string problem = section_problem(static_cast<Section>(section)); !problem.empty())
                return problem;
        if (std::string problem = checksum_problem(identity); !problem.empty())
            return problem;
        if (expected_ && section_text(identity) != expected_->catalogue_identity)
            return "the snapshot was made from another catalogue";
        if (expected_ && header_.position > expected_->position)
            return "the snapshot holds the catalogue at change " + std::to_string(header_.position)
                   + ", newer than the catalogue's last change " + std::to_string(expected_->position);
        if (std::string problem = size_problem(); !problem.empty())
            return problem;
        // The checksums and the structure are checked at once, on two threads, as they read
        // every byte of a large file; damage is reported before what it may have malformed.
        std::string damage;
        std::thread checksums([this, &damage] {
            for (std::size_t section = identity + 1; section < section_count && damage.empty(); ++section)
                damage = checksum_problem(static_cast<Section>(section));
        });
        fill(parts);
        std::string malformed = records_problem(parts);
        if (malformed.empty())
            malformed = lists_problem(parts);
        checksums.join();
        return damage.empty() ? malformed : damage;
    }

private:
    std::string section_problem(Section section) const
    {
        const SectionEntry& entry = header_.sections[section];
        std::uint64_t size = file_.size();
        if (entry.offset < sizeof(FileHeader) || entry.offset % section_alignment != 0 || entry.offset > size
            || entry.bytes > size - entry.offset)
            return std::string("the snapshot's ") + section_names[section] + " lie outside the file (truncated or damaged)";
        return "";
    }
    std::string checksum_problem(Section section) const
    {
        const SectionEntry& entry = header_.sections[section];
        if (checksum_of(file_.bytes() + entry.offset, entry.bytes) != entry.checksum)
            return std::string("the snapshot's ") + section_names[section] + " are damaged (checksum)";
        return "";
    }
    std::string size_problem() const
    {
        const auto& s = header_.sections;
        std::uint64_t shares = header_.share_count, grams_count = header_.gram_count;
        if (shares >= std::numeric_limits<Rank>::max())
            return "the snapshot counts more shares than an index can number";
        // Each count is bounded by the file's size before it is multiplied.
        if (s[numbers].bytes / sizeof(ShareNumbers) != shares || s[numbers].bytes % sizeof(ShareNumbers) != 0
            || s[lengths].bytes / sizeof(ShareLengths) != shares || s[lengths].bytes % sizeof(ShareLengths) != 0
            || s[grams].bytes / sizeof(std::uint64_t) != grams_count || s[grams].bytes % sizeof(std::uint64_t) != 0
            || s[list_refs].bytes / (sizeof(ListRef) * share_type_count) != grams_count
            || s[list_refs].bytes % (sizeof(ListRef) * share_type_count) != 0)
            return "the snapshot's sections disagree with its counts";
        return "";
    }
    std::string_view section_text(Section section) const
    {
        const SectionEntry& entry = header_.sections[section];
        return {reinterpret_cast<const char*>(file_.bytes() + entry.offset), entry.bytes};
    }
    template <typename T>
    std::span<const T> section_items(Section section) const
    {
        const SectionEntry& entry = header_.sections[section];
        return {reinterpret_cast<const T*>(file_.bytes() + entry.offset), entry.bytes / sizeof(T)};
    }

    void fill(IndexParts& parts) const
    {
        parts.numbers = section_items<ShareNumbers>(numbers);
        parts.lengths = section_items<ShareLengths>(lengths);
        parts.texts = section_text(texts);
        parts.grams = section_items<std::uint64_t>(grams);
    }

    std::string records_problem(const IndexParts& parts) const
    {
        std::uint64_t texts_size = parts.texts.size();
        for (std::size_t rank = 0; rank < parts.numbers.size(); ++rank) {
            const ShareNumbers& record = parts.numbers[rank];
            const ShareLengths& lengths = parts.lengths[rank];
            std::uint64_t text_bytes = std::uint64_t{lengths.name_bytes} + lengths.code_bytes + lengths.folded_bytes;
            if (lengths.name_bytes == 0 || lengths.name_bytes > max_name_bytes || lengths.code_bytes > max_code_bytes
                || lengths.type >= share_type_count || record.texts_start > texts_size
                || text_bytes > texts_size - record.texts_start)
                return "the snapshot's record " + std::to_string(rank) + " is malformed";
            if (rank > 0 && record.size < parts.numbers[rank - 1].size)
                return "the snapshot's records are out of size order";
        }
        for (std::size_t place = 1; place < parts.grams.size(); ++place)
            if (parts.grams[place] <= parts.grams[place - 1])
                return "the snapshot's grams are out of order";
        return "";
    }

    std::string lists_problem(IndexParts& parts) const
    {
        std::span<const ListRef> refs = section_items<ListRef>(list_refs);
        const std::uint8_t* bytes = file_.bytes() + header_.sections[list_bytes].offset;
        std::uint64_t bytes_size = header_.sections[list_bytes].bytes;
        parts.lists.resize(parts.grams.size());
        for (std::size_t place = 0; place < parts.grams.size(); ++place) {
            for (std::size_t type = 0; type < share_type_count; ++type) {
                const ListRef& ref = refs[place * share_type_count + type];
                if (ref.offset > bytes_size || ref.bytes > bytes_size - ref.offset)
                    return "a list of the snapshot lies outside its lists";
                CompactList list{bytes + ref.offset, ref.count, ref.bytes};
                if (std::string problem = compact_list_problem(list, parts.numbers.size()); !problem.empty())
                    return "the snapshot is malformed: " + problem;
                parts.lists[place][type] = list;
            }
        }
        return "";
    }

    const MappedFile& file_;
    const SnapshotKey* expected_;
    FileHeader header_;
};

}  // namespace

void write_snapshot(const ShareIndex& index, const SnapshotKey& key, const std::string& path)
{
    std::string temporary = path + ".new";
    FileDescriptor fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.get() < 0)
        throw std::runtime_error(system_error("cannot create", temporary));
    SectionWriter writer(fd.get(), temporary);
    write_sections(writer, index.parts(), key);
    writer.finish();
    if (::rename(temporary.c_str(), path.c_str()) != 0)
        throw std::runtime_error(system_error("cannot rename to", path));
    // The rename itself is made durable by syncing the folder that holds it.
    std::string folder = path.find('/') == std::string::npos ? "." : path.substr(0, path.rfind('/') + 1);
    FileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0 || ::fsync(dir.get()) != 0)
        throw std::runtime_error(system_error("cannot sync the folder of", path));
}

namespace {

LoadedSnapshot load_checked_snapshot(const std::string& path, const SnapshotKey* expected)
{
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        return {nullptr, errno == ENOENT ? "there is no snapshot" : system_error("cannot open", path)};
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0)
        return {nullptr, system_error("cannot read", path)};
    if (!S_ISREG(status.st_mode))
        return {nullptr, "the snapshot is not a plain file"};
    if (static_cast<std::uint64_t>(status.st_size) < sizeof(FileHeader))
        return {nullptr, "the file is shorter than its header (truncated)"};
    auto size = static_cast<std::size_t>(status.st_size);
    // Every page is read by the checks before use: mapping them all at once saves a fault each.
    void* data = ::mmap(nullptr, size, PROT_READ, MAP_SHARED | MAP_POPULATE, fd.get(), 0);
    if (data == MAP_FAILED)
        return {nullptr, system_error("cannot map", path)};
    auto file = std::make_shared<MappedFile>(data, size);

    IndexParts parts;
    SnapshotCheck check(*file, expected);
    if (std::string problem = check.run(parts); !problem.empty())
        return {nullptr, problem};
    parts.storage = file;
    return {std::make_shared<const ShareIndex>(std::move(parts)), "", check.position(), check.catalogue_identity()};
}

}  // namespace

LoadedSnapshot load_snapshot(const std::string& path, const SnapshotKey& expected)
{
    return load_checked_snapshot(path, &expected);
}

LoadedSnapshot load_snapshot_unconfirmed(const std::string& path)
{
    return load_checked_snapshot(path, nullptr);
}

}  // namespace cumulo::server
