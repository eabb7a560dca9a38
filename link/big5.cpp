// The UTF-8 <-> CP950 conversion of the wire, over iconv. A conversion either takes every byte
// of its input or gives nothing: iconv refuses (EILSEQ/EINVAL) what the target cannot hold and
// no transliteration or skipping flag is ever used.
#include "big5.h"

#include <iconv.h>

#include <cerrno>

namespace wire {
namespace {

// One iconv descriptor per direction and thread; iconv state is reset before every use.
class Converter {
  public:
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Converter() {
        if (cd_ != reinterpret_cast<iconv_t>(-1)) {
            iconv_close(cd_);
        }
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    std::optional<std::string> convert(std::string_view in) {
        if (cd_ == reinterpret_cast<iconv_t>(-1)) {
            return std::nullopt;
        }
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        std::string out;
        // CP950 never needs more than 2 bytes per character, UTF-8 from CP950 never more than 3
        // per 2 input bytes; 2x plus a little is room enough for both, and we grow on E2BIG.
        out.resize(in.size() * 2 + 16);
        char* src = const_cast<char*>(in.data());
        size_t srcLeft = in.size();
        size_t produced = 0;
        for (;;) {
            char* dst = out.data() + produced;
            size_t dstLeft = out.size() - produced;
            size_t rc = iconv(cd_, &src, &srcLeft, &dst, &dstLeft);
            produced = out.size() - dstLeft;
            if (rc != static_cast<size_t>(-1)) {
                break;
            }
            if (errno == E2BIG) {
                out.resize(out.size() * 2);
                continue;
            }
            return std::nullopt;  // EILSEQ: not representable / invalid; EINVAL: cut short
        }
        // Flush any shift state (none for these charsets, but keep the contract).
        char* dst = out.data() + produced;
        size_t dstLeft = out.size() - produced;
        if (iconv(cd_, nullptr, nullptr, &dst, &dstLeft) == static_cast<size_t>(-1)) {
            return std::nullopt;
        }
        produced = out.size() - dstLeft;
        out.resize(produced);
        return out;
    }

  private:
    iconv_t cd_;
};

Converter& toBig5Converter() {
    thread_local Converter c("CP950", "UTF-8");
    return c;
}

Converter& fromBig5Converter() {
    thread_local Converter c("UTF-8", "CP950");
    return c;
}

}  // namespace

std::optional<std::string> toBig5(std::string_view utf8) {
    if (utf8.empty()) {
        return std::string();
    }
    return toBig5Converter().convert(utf8);
}

std::optional<std::string> fromBig5(std::string_view big5) {
    if (big5.empty()) {
        return std::string();
    }
    return fromBig5Converter().convert(big5);
}

bool representableInBig5(std::string_view utf8) {
    return toBig5(utf8).has_value();
}

long big5Length(std::string_view utf8) {
    auto b = toBig5(utf8);
    return b ? static_cast<long>(b->size()) : -1;
}

}  // namespace wire
