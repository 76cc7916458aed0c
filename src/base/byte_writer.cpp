#include "base/byte_writer.hpp"

#include "base/fault.hpp"

namespace corvel {

std::uint8_t* ByteWriter::claim(std::size_t count) {
    if (static_cast<std::size_t>(end_ - cursor_) < count) throw Fault("byte layout overruns its buffer");
    std::uint8_t* at = cursor_;
    cursor_ += count;
    return at;
}

void ByteWriter::finish() const {
    if (cursor_ != end_) throw Fault("byte layout falls short of its buffer");
}

}  // namespace corvel
