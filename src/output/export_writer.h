// A small buffered writer over an open file descriptor, for documents that
// are produced row by row: memory stays bounded however many rows there are.
#pragma once

#include <string>
#include <string_view>

namespace salvor::output {

class FdBuffer {
public:
    explicit FdBuffer(int fd) : fd_(fd) {}
    void add(std::string_view text) {
        buffer_.append(text);
        if (buffer_.size() >= kFlushBytes) flush();
    }
    // Writes what is buffered; empty text, or why the first write failed
    // (later writes are then skipped).
    std::string flush();

private:
    static constexpr std::size_t kFlushBytes = 1u << 20;
    int fd_;
    std::string buffer_;
    std::string error_;
};

}  // namespace salvor::output
