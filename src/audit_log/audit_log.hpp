#pragma once
// The durable record of decisions: a list of audit entries loaded from a JSON storage file,
// which is read once and never written.

#include <cstddef>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audit_log/audit_entry.hpp"
#include "audit_log/audit_error.hpp"
#include "crypto/key_store.hpp"

namespace corvel {

class AuditLog {
public:
    // Loads the log from `path`. A path that does not exist gives an empty log and creates
    // nothing; a file that exists must hold a valid JSON array of entries. On failure the key
    // store is destroyed with the half-built log; no partial log is ever returned.
    static std::expected<AuditLog, AuditError> with_storage(std::unique_ptr<KeyStore> key_store, std::string path);
    static std::expected<AuditLog, AuditError> with_storage(SoftwareKeyStore key_store, std::string path);
    // The same with a key of its own from create_key_store, the factory every holder uses.
    static std::expected<AuditLog, AuditError> open(std::string path);

    // The entries, in file order.
    const std::vector<AuditEntry>& entries() const { return entries_; }
    std::size_t size() const { return entries_.size(); }
    const std::optional<std::string>& storage_path() const { return storage_path_; }

private:
    AuditLog(std::vector<AuditEntry> entries, std::string path, std::unique_ptr<KeyStore> key_store)
        : entries_(std::move(entries)), storage_path_(std::move(path)), key_store_(std::move(key_store)) {}

    std::vector<AuditEntry> entries_;
    std::optional<std::string> storage_path_;
    std::unique_ptr<KeyStore> key_store_;
};

}  // namespace corvel
