// SHA-256 (through OpenSSL's libcrypto) and SipHash-1-3: the module's only
// digest code.
#pragma once
#include <Python.h>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "errors.hpp"

namespace vk {

// A uid: 64 lowercase hexadecimal digits.
struct Hex64 {
    char d[64];
    std::string_view view() const { return {d, 64}; }
};

// SHA-256 of the concatenation of the given pieces, as 64 hex digits. Fails
// only when libcrypto does.
Status sha256_hex(std::initializer_list<std::string_view> pieces, Hex64& out);

// Prepares the digest implementation; called once at import.
Status digest_init();

// Incremental SipHash-1-3 with the all-zero 128-bit key.
class SipHash13 {
public:
    SipHash13();
    void update(const void* data, size_t n);
    void update_u32le(uint32_t w);
    uint64_t finish() const;

private:
    uint64_t v0_, v1_, v2_, v3_;
    uint64_t tail_ = 0;   // pending bytes, little-endian
    unsigned ntail_ = 0;  // how many bytes are pending
    uint64_t total_ = 0;  // message length in bytes
    void compress(uint64_t m);
};

// Narrows a 64-bit hash to a Python hash value (-1 becomes -2).
Py_ssize_t narrow_hash(uint64_t h);

}  // namespace vk
