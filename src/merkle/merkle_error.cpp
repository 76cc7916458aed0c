#include "merkle/merkle_error.hpp"

#include <cstring>

namespace corvel::merkle {

std::string ProofError::message() const {
    switch (kind_) {
        case Kind::IndexBeyondSize: return "Merkle proof refused: the leaf index is not below the tree size";
        case Kind::SizesReversed: return "Merkle proof refused: the old tree size is larger than the new one";
        case Kind::BadHashLength: return "Merkle proof refused: the " + what_ + " is not 32 bytes";
        case Kind::ProofTooLong: return "Merkle proof refused: the proof has more hashes than the sizes allow";
        case Kind::ProofTooShort: return "Merkle proof refused: the proof has fewer hashes than the sizes need";
        case Kind::ProofNotEmpty: return "Merkle proof refused: the proof must be empty for these sizes";
        case Kind::RootMismatch: return "Merkle proof refused: the proof does not lead to the given root";
        case Kind::OldRootMismatch: return "Merkle proof refused: the proof does not lead to the given old root";
        case Kind::NotEmptyRoot: return "Merkle proof refused: the root of size 0 is not the empty tree's root";
    }
    return {};
}

TreeError TreeError::io(int errnum, std::string operation) {
    return {Kind::Io, errnum, std::move(operation)};
}

std::string TreeError::message() const {
    switch (kind_) {
        case Kind::OutOfRange: return "Merkle tree: " + detail_;
        case Kind::Io: return "Merkle node store: " + detail_ + ": " + std::strerror(errnum_);
        case Kind::Damaged: return "Merkle node store damaged (rebuild it from the trail): " + detail_;
        case Kind::Exists: return "Merkle node store: " + detail_ + " already exists";
    }
    return {};
}

}  // namespace corvel::merkle
