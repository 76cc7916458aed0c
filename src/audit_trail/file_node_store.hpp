#pragma once
// The node store as a sidecar file beside the trail, read with pread: a proof reads O(log n)
// records and the process holds none of the others.
//
// File: a 16-byte header, "CVMERKLE" then the format version and the record size as 32-bit
// little-endian integers (1 and 32), then the records of node_store.hpp, 32 bytes each.
// A bad header or a length that is not whole records is reported as TreeError::Damaged; the
// caller then makes a fresh store with `replace` and appends the trail's leaf hashes again.

#include <memory>
#include <string>

#include "audit_trail/node_store.hpp"

namespace corvel::merkle {

class FileNodeStore final : public NodeStore {
public:
    static constexpr std::size_t kHeaderSize = 16;

    // A new, empty store; refuses a path that exists (TreeError::Exists).
    static std::expected<std::unique_ptr<FileNodeStore>, TreeError> create(const std::string& path);
    // A new, empty store in place of whatever is at `path`: the rebuild road.
    static std::expected<std::unique_ptr<FileNodeStore>, TreeError> replace(const std::string& path);
    // An existing store, for reading and appending.
    static std::expected<std::unique_ptr<FileNodeStore>, TreeError> open(const std::string& path);

    FileNodeStore(const FileNodeStore&) = delete;
    FileNodeStore& operator=(const FileNodeStore&) = delete;
    ~FileNodeStore() override;

    std::uint64_t record_count() const override { return records_; }
    std::expected<void, TreeError> append_records(std::span<const Hash> records) override;
    std::expected<void, TreeError> read_records(std::uint64_t first, std::span<Hash> out) const override;
    std::expected<void, TreeError> truncate_records(std::uint64_t count) override;
    std::expected<void, TreeError> sync() override;

    const std::string& path() const { return path_; }

private:
    FileNodeStore(int fd, std::string path, std::uint64_t records) : fd_(fd), path_(std::move(path)), records_(records) {}
    static std::expected<std::unique_ptr<FileNodeStore>, TreeError> create_with(const std::string& path, int flags);

    int fd_;
    std::string path_;
    std::uint64_t records_;
    // Set when a failed append could not be undone: the file's tail is unknown from then on.
    bool broken_ = false;
};

}  // namespace corvel::merkle
