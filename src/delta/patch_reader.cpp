#include "delta/patch_reader.h"

#include "delta/patch_format.h"

#include <lzma.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace tavrel {

namespace {

[[noreturn]] void malformed() {
    throw std::runtime_error("An update file failed decompression or CRC validation.");
}

// The patch's bytes, read from the front; every read is checked against the end.
struct cursor {
    std::span<const std::uint8_t> data;
    std::size_t at = 0;

    std::uint8_t byte() {
        if (at >= data.size())
            malformed();
        return data[at++];
    }
    std::span<const std::uint8_t> take(std::uint64_t size) {
        if (size > data.size() - at)
            malformed();
        const auto piece = data.subspan(at, static_cast<std::size_t>(size));
        at += piece.size();
        return piece;
    }
};

// A varint from any source of bytes: at most 10 bytes, the last one 0 or 1 (64 bits).
template <typename Next> std::uint64_t read_varint(Next next) {
    std::uint64_t value = 0;
    for (int i = 0; i < patch_format::max_varint_bytes; ++i) {
        const std::uint8_t b = next();
        if (i == patch_format::max_varint_bytes - 1 && b > 1)
            malformed();
        value |= static_cast<std::uint64_t>(b & 0x7F) << (7 * i);
        if ((b & 0x80) == 0)
            return value;
    }
    malformed();
}

// One stream of the patch, decompressed piece by piece into the caller's buffers: memory is
// the LZMA2 dictionary (fixed by the format) and state, whatever the stream's size.
class stream_source {
  public:
    stream_source(cursor& in) {
        codec_ = in.byte();
        remaining_ = read_varint([&] { return in.byte(); });
        stored_ = in.take(read_varint([&] { return in.byte(); }));
        if (codec_ == patch_format::codec_stored) {
            if (stored_.size() != remaining_)
                malformed();
        } else if (codec_ == patch_format::codec_lzma2) {
            lzma_options_lzma options{};
            if (lzma_lzma_preset(&options, 6))
                throw std::logic_error("LZMA preset");
            options.dict_size = patch_format::lzma2_dictionary;
            const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options},
                                           {LZMA_VLI_UNKNOWN, nullptr}};
            if (lzma_raw_decoder(&z_, filters) != LZMA_OK)
                throw std::bad_alloc();
            decoding_ = true;
        } else {
            malformed();
        }
    }
    ~stream_source() {
        if (decoding_)
            lzma_end(&z_);
    }
    stream_source(const stream_source&) = delete;
    stream_source& operator=(const stream_source&) = delete;

    std::uint64_t remaining() const { return remaining_; }

    void read(std::uint8_t* out, std::uint64_t size) {
        if (size > remaining_)
            malformed();
        if (size == 0)
            return;
        remaining_ -= size;
        if (!decoding_) {
            std::memcpy(out, stored_.data() + position_, static_cast<std::size_t>(size));
            position_ += static_cast<std::size_t>(size);
            return;
        }
        z_.next_out = out;
        z_.avail_out = static_cast<std::size_t>(size);
        // Without input and before its end, liblzma reports no progress once and then
        // LZMA_BUF_ERROR: a truncated stream ends here too.
        while (z_.avail_out > 0) {
            feed();
            const lzma_ret code = lzma_code(&z_, LZMA_RUN);
            // The stream may end only with its last raw byte.
            ended_ = code == LZMA_STREAM_END;
            if (ended_ ? z_.avail_out != 0 || remaining_ != 0 : code != LZMA_OK)
                malformed();
        }
    }

    // The stream was used up exactly: all of its raw bytes read, its end marker next, and
    // nothing stored after it.
    void finish() {
        if (remaining_ != 0)
            malformed();
        if (!decoding_) {
            if (position_ != stored_.size())
                malformed();
            return;
        }
        std::uint8_t extra = 0;
        z_.next_out = &extra;
        z_.avail_out = 1;
        lzma_ret code = ended_ ? LZMA_STREAM_END : LZMA_OK;
        while (code == LZMA_OK && z_.avail_out == 1) {
            feed();
            code = lzma_code(&z_, LZMA_RUN);
        }
        if (code != LZMA_STREAM_END || z_.avail_out != 1 || z_.avail_in != 0 ||
            position_ != stored_.size())
            malformed();
    }

  private:
    // Hands the decoder all stored bytes at once (they are in memory); false when it has
    // used them up.
    bool feed() {
        if (z_.avail_in == 0 && position_ < stored_.size()) {
            z_.next_in = stored_.data() + position_;
            z_.avail_in = stored_.size() - position_;
            position_ = stored_.size();
        }
        return z_.avail_in > 0;
    }
    std::uint8_t codec_ = 0;
    std::uint64_t remaining_ = 0;
    std::span<const std::uint8_t> stored_;
    std::size_t position_ = 0; // stored bytes handed on
    lzma_stream z_ = LZMA_STREAM_INIT;
    bool decoding_ = false;
    bool ended_ = false; // the end marker was read with the last raw byte
};

// The control stream's bytes through a small buffer.
class byte_source {
  public:
    explicit byte_source(stream_source& stream) : stream_(stream) {}
    std::uint8_t next() {
        if (at_ == size_) {
            size_ =
                static_cast<std::size_t>(std::min<std::uint64_t>(stream_.remaining(), buffer_size));
            if (size_ == 0)
                malformed();
            stream_.read(buffer_, size_);
            at_ = 0;
        }
        return buffer_[at_++];
    }
    bool used_up() const { return at_ == size_; }

  private:
    static constexpr std::size_t buffer_size = 4096;
    stream_source& stream_;
    std::uint8_t buffer_[buffer_size] = {};
    std::size_t at_ = 0;
    std::size_t size_ = 0;
};

std::uint64_t read_header(cursor& in) {
    const auto magic = in.take(patch_format::magic.size());
    if (std::memcmp(magic.data(), patch_format::magic.data(), magic.size()) != 0)
        malformed();
    return read_varint([&] { return in.byte(); });
}

} // namespace

std::uint64_t patch_result_size(std::span<const std::uint8_t> patch) {
    cursor in{patch};
    return read_header(in);
}

std::vector<std::uint8_t> apply_patch(std::span<const std::uint8_t> base,
                                      std::span<const std::uint8_t> patch,
                                      std::uint64_t max_result) {
    cursor in{patch};
    const std::uint64_t result_size = read_header(in);
    stream_source control(in);
    stream_source diff(in);
    stream_source extra(in);
    if (in.at != patch.size() || result_size > max_result || diff.remaining() > result_size ||
        extra.remaining() != result_size - diff.remaining())
        malformed();

    std::vector<std::uint8_t> result(static_cast<std::size_t>(result_size));
    byte_source instructions(control);
    const auto next = [&] { return instructions.next(); };
    std::uint64_t base_position = 0;
    std::uint64_t done = 0;
    while (done < result_size) {
        const std::int64_t seek = patch_format::unzigzag(read_varint(next));
        const std::uint64_t copy = read_varint(next);
        const std::uint64_t added = read_varint(next);
        const std::uint64_t distance = seek < 0 ? static_cast<std::uint64_t>(-(seek + 1)) + 1
                                                : static_cast<std::uint64_t>(seek);
        if (seek < 0 ? distance > base_position : distance > base.size() - base_position)
            malformed();
        base_position = seek < 0 ? base_position - distance : base_position + distance;
        // Every instruction makes at least one byte, so a patch cannot spin without progress.
        if ((copy == 0 && added == 0) || copy > result_size - done ||
            copy > base.size() - base_position)
            malformed();
        std::uint8_t* out = result.data() + done;
        diff.read(out, copy);
        const std::uint8_t* from = base.data() + base_position;
        for (std::uint64_t i = 0; i < copy; ++i)
            out[i] = static_cast<std::uint8_t>(out[i] + from[i]);
        done += copy;
        base_position += copy;
        if (added > result_size - done)
            malformed();
        extra.read(result.data() + done, added);
        done += added;
    }
    if (!instructions.used_up())
        malformed();
    control.finish();
    diff.finish();
    extra.finish();
    return result;
}

} // namespace tavrel
