#pragma once
// The node store as a sidecar file beside the log, read with pread: a proof reads O(log n)
// records and the process holds none of the others.
//
// File: a 16-byte header, "CVMERKLE" then the format version and the record size as 32-bit
// little-endian integers (1 and 32), then the records of node_store.hpp, 32 bytes each.
//
// Appends are buffered (up to kBufferRecords records, one write per buffer) so that the tree
// adds little to an append of the log; flush() or sync() writes them, the destructor flushes.
// The sidecar is a cache of the log: after a crash it may lag the log or end inside an
// append. `open` refuses such a file (TreeError::Damaged); `recover` cuts it back to its last
// whole leaf, and the caller appends the leaves the log has beyond it. A store that fails
// MerkleTree::check_root is rebuilt: `replace`, then every leaf hash again.
//
// One writer per file: the log's writer holds its lock over the sidecar too; the store takes none.

#include <memory>
#include <string>
#include <vector>

#include "merkle/node_store.hpp"

namespace corvel::merkle {

class FileNodeStore final : public NodeStore {
public:
    static constexpr std::size_t kHeaderSize = 16;
    static constexpr std::size_t kBufferRecords = 2048;  // 64 KiB

    struct Recovered;

    // A new, empty store; refuses a path that exists (TreeError::Exists).
    static std::expected<std::unique_ptr<FileNodeStore>, TreeError> create(const std::string& path);
    // A new, empty store in place of whatever is at `path`: the rebuild road.
    static std::expected<std::unique_ptr<FileNodeStore>, TreeError> replace(const std::string& path);
    // An existing store, for reading and appending; refuses one that does not end on a whole
    // leaf.
    static std::expected<std::unique_ptr<FileNodeStore>, TreeError> open(const std::string& path);
    // An existing store for reading only (proofs beside a writer, or in a read-only folder):
    // refuses what `open` refuses; appending to it fails.
    static std::expected<std::unique_ptr<FileNodeStore>, TreeError> open_read_only(const std::string& path);
    // An existing store cut back to its last whole leaf; still refuses a bad header.
    static std::expected<Recovered, TreeError> recover(const std::string& path);

    FileNodeStore(const FileNodeStore&) = delete;
    FileNodeStore& operator=(const FileNodeStore&) = delete;
    ~FileNodeStore() override;

    std::uint64_t record_count() const override { return written_ + pending_.size(); }
    std::expected<void, TreeError> append_records(std::span<const Hash> records) override;
    std::expected<void, TreeError> read_records(std::uint64_t first, std::span<Hash> out) const override;
    std::expected<void, TreeError> truncate_records(std::uint64_t count) override;
    // Writes the buffered records, then makes the file durable.
    std::expected<void, TreeError> sync() override;
    // Writes the buffered records.
    std::expected<void, TreeError> flush();

    const std::string& path() const { return path_; }

private:
    FileNodeStore(int fd, std::string path, std::uint64_t records) : fd_(fd), path_(std::move(path)), written_(records) {}
    static std::expected<std::unique_ptr<FileNodeStore>, TreeError> create_with(const std::string& path, int flags);
    // The file opened and its header checked; the second value is the file's length in bytes.
    static std::expected<std::pair<int, std::uint64_t>, TreeError> open_checked(const std::string& path,
                                                                                bool writable = true);
    static std::expected<std::unique_ptr<FileNodeStore>, TreeError> open_with(const std::string& path, bool writable);

    int fd_;
    std::string path_;
    std::uint64_t written_;      // records in the file
    std::vector<Hash> pending_;  // records after them, not yet written
    // Set when a failed write could not be undone: the file's tail is unknown from then on.
    bool broken_ = false;
};

struct FileNodeStore::Recovered {
    std::unique_ptr<FileNodeStore> store;
    // Bytes cut from the end of the file: a torn append, if not 0.
    std::uint64_t cut_bytes = 0;
};

}  // namespace corvel::merkle
