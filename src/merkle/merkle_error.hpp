#pragma once
// The two error types of the Merkle tree: ProofError, why a proof did not verify, and
// TreeError, why the tree or its node store could not answer or take a request.

#include <cstdint>
#include <string>

namespace corvel::merkle {

class ProofError {
public:
    enum class Kind : std::uint8_t {
        IndexBeyondSize,   // inclusion: index >= size
        SizesReversed,     // consistency: old size > new size
        BadHashLength,     // a leaf hash, root or proof element is not 32 bytes
        ProofTooLong,      // more elements than the sizes allow
        ProofTooShort,     // fewer elements than the sizes need
        ProofNotEmpty,     // equal sizes, or size 0, take an empty proof
        RootMismatch,      // the proof leads to another root
        OldRootMismatch,   // consistency: the proof leads to another old root
        NotEmptyRoot,      // a root of size 0 that is not the empty tree's
    };

    explicit ProofError(Kind kind, std::string what = {}) : kind_(kind), what_(std::move(what)) {}

    Kind kind() const { return kind_; }
    // For BadHashLength: which value ("leaf hash", "root", "proof element 3", ...).
    const std::string& what() const { return what_; }
    std::string message() const;

    bool operator==(const ProofError&) const = default;

private:
    Kind kind_;
    std::string what_;
};

class TreeError {
public:
    enum class Kind : std::uint8_t {
        OutOfRange,  // an index or size beyond the tree
        Io,          // the node store's file could not be read or written
        Damaged,     // the node store is short, garbled or disagrees with the tree: rebuild it
        Exists,      // a new node store would replace an existing file
    };

    static TreeError out_of_range(std::string detail) { return {Kind::OutOfRange, 0, std::move(detail)}; }
    // `operation` names what failed ("reading /path"); the text is the system's for `errnum`.
    static TreeError io(int errnum, std::string operation);
    static TreeError damaged(std::string detail) { return {Kind::Damaged, 0, std::move(detail)}; }
    static TreeError exists(std::string path) { return {Kind::Exists, 0, std::move(path)}; }

    Kind kind() const { return kind_; }
    int errnum() const { return errnum_; }
    const std::string& detail() const { return detail_; }
    std::string message() const;

    bool operator==(const TreeError&) const = default;

private:
    TreeError(Kind kind, int errnum, std::string detail) : kind_(kind), errnum_(errnum), detail_(std::move(detail)) {}
    Kind kind_;
    int errnum_;
    std::string detail_;
};

}  // namespace corvel::merkle
