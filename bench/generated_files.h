// Deterministic file contents and sizes for the benchmarks, shaped like a program's files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>

namespace bench {

// Deterministic content: text of a small vocabulary with numbers, and runs of random bytes,
// so that deflate works for its ratio as it does on real program files.
struct generator {
    std::uint64_t state;
    std::uint64_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
    std::uint64_t below(std::uint64_t n) { return next() % n; }

    std::string content(std::size_t size) {
        static const char* const words[] = {
            "update", "package", "install", "version", "module", "resource", "window",
            "handle", "buffer",  "stream",  "config",  "render", "thread",   "signal",
            "object", "vector",  "string",  "format",  "memory", "device",   "socket",
            "client", "server",  "request", "reply",   "status", "error",    "return",
            "const",  "static",  "inline",  "struct",  "class",  "public",   "private",
            "tavrel", "layout",  "texture", "shader",  "pixel",  "canvas",   "event"};
        std::string out;
        out.reserve(size + 64);
        while (out.size() < size) {
            if (below(128) == 0) {
                const std::size_t run = 64 + below(448);
                for (std::size_t i = 0; i < run; ++i)
                    out.push_back(static_cast<char>(next() & 0xFF));
            } else {
                out += words[below(std::size(words))];
                out.push_back(below(6) == 0 ? '\n' : ' ');
                if (below(4) == 0)
                    out += std::to_string(below(100000));
            }
        }
        out.resize(size);
        return out;
    }

    // Mostly small files, a good number of medium ones and a few large ones.
    std::size_t file_size() {
        const std::uint64_t kind = below(100);
        if (kind < 70)
            return 512 + below(64 * 1024);
        if (kind < 98)
            return 64 * 1024 + below(448 * 1024);
        return 2 * 1024 * 1024 + below(7 * 1024 * 1024);
    }
};

} // namespace bench
