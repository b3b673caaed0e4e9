#include <Python.h>

#include "digest.hpp"

#include <openssl/evp.h>

#include <cstring>

namespace vk {

namespace {
const EVP_MD* g_sha256 = nullptr;
EVP_MD_CTX* g_ctx = nullptr;  // reused under the interpreter lock
}  // namespace

Status digest_init() {
    if (g_ctx) return ok_status();
#if OPENSSL_VERSION_NUMBER >= 0x30000000L
    g_sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
#else
    g_sha256 = EVP_sha256();
#endif
    g_ctx = EVP_MD_CTX_new();
    if (!g_sha256 || !g_ctx) {
        PyErr_SetString(PyExc_ImportError, "velkora: SHA-256 is not available from libcrypto");
        return PyErrorSet{};
    }
    return ok_status();
}

Status sha256_hex(std::initializer_list<std::string_view> pieces, Hex64& out) {
    static const char digits[] = "0123456789abcdef";
    unsigned char md[32];
    unsigned int len = 0;
    bool ok = g_ctx && EVP_DigestInit_ex(g_ctx, g_sha256, nullptr) == 1;
    for (auto p : pieces) {
        if (!ok) break;
        ok = EVP_DigestUpdate(g_ctx, p.data(), p.size()) == 1;
    }
    ok = ok && EVP_DigestFinal_ex(g_ctx, md, &len) == 1 && len == 32;
    if (!ok) {
        PyErr_SetString(PyExc_RuntimeError, "SHA-256 computation failed");
        return PyErrorSet{};
    }
    for (int i = 0; i < 32; ++i) {
        out.d[2 * i] = digits[md[i] >> 4];
        out.d[2 * i + 1] = digits[md[i] & 15];
    }
    return ok_status();
}

namespace {
inline uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }
inline void sipround(uint64_t& v0, uint64_t& v1, uint64_t& v2, uint64_t& v3) {
    v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
    v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
}
}  // namespace

// Key k0 = k1 = 0, so the initial state is the bare constants.
SipHash13::SipHash13()
    : v0_(0x736f6d6570736575ULL),
      v1_(0x646f72616e646f6dULL),
      v2_(0x6c7967656e657261ULL),
      v3_(0x7465646279746573ULL) {}

void SipHash13::compress(uint64_t m) {
    v3_ ^= m;
    sipround(v0_, v1_, v2_, v3_);
    v0_ ^= m;
}

void SipHash13::update(const void* data, size_t n) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    total_ += n;
    while (n && ntail_) {
        tail_ |= uint64_t(*p++) << (8 * ntail_);
        --n;
        if (++ntail_ == 8) {
            compress(tail_);
            tail_ = 0;
            ntail_ = 0;
        }
    }
    while (n >= 8) {
        uint64_t m;
        std::memcpy(&m, p, 8);  // little-endian hosts only (checked at compile time below)
        compress(m);
        p += 8;
        n -= 8;
    }
    for (size_t i = 0; i < n; ++i) tail_ |= uint64_t(p[i]) << (8 * ntail_++);
}

void SipHash13::update_u32le(uint32_t w) {
    unsigned char b[4] = {(unsigned char)w, (unsigned char)(w >> 8), (unsigned char)(w >> 16),
                          (unsigned char)(w >> 24)};
    update(b, 4);
}

uint64_t SipHash13::finish() const {
    uint64_t v0 = v0_, v1 = v1_, v2 = v2_, v3 = v3_;
    uint64_t b = (total_ << 56) | tail_;
    v3 ^= b;
    sipround(v0, v1, v2, v3);
    v0 ^= b;
    v2 ^= 0xff;
    sipround(v0, v1, v2, v3);
    sipround(v0, v1, v2, v3);
    sipround(v0, v1, v2, v3);
    return v0 ^ v1 ^ v2 ^ v3;
}

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "SipHash reads words little-endian");

Py_ssize_t narrow_hash(uint64_t h) {
    Py_ssize_t r = (Py_ssize_t)(Py_hash_t)h;  // wraps to the interpreter's hash width
    return r == -1 ? -2 : r;
}

}  // namespace vk
