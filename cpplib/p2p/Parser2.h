#pragma once
// Bounded reader of little-endian body fields. Reads from a body it does not
// own; a failed read never moves the position and says why in m_lastError.
// A value used by one thread for the life of one body.

#include <cstdint>

enum parsererr_t {
    PARSERERR_OK = 0,
    PARSERERR_READDONE = 1,  // not enough bytes left for the field
    PARSERERR_OVERFLOW = 2,  // the field's length exceeds the destination
};

// A u8-length string inside a body; not terminated.
struct psstr_t {
    uint8_t m_len = 0;
    const char* m_pstr = nullptr;
    uint16_t m_osType = 0;  // not filled by the reader

    const char* c_str() const { return m_pstr; }
    int len() const { return m_len; }
};

// A u16-length string inside a body; not terminated.
struct pstr_t {
    uint16_t m_len = 0;
    const char* m_pstr = nullptr;

    const char* c_str() const { return m_pstr; }
    int len() const { return m_len; }
    int length() const { return m_len; }
};

class Parser2 {
public:
    Parser2(const void* buf, int blen);

    // True when len more bytes can be read.
    bool remain(int len) const;
    // Exactly vallen bytes into val. 0, or -1.
    int mem(void* val, int vallen, int* plen = nullptr);
    // One fixed-size value, as mem() reads it; false when it is not all there.
    template <typename T>
    bool value(T* out) {
        return mem(out, sizeof *out) == 0;
    }
    // A length byte L, then L bytes into val (capacity vallen). 0, or -1.
    int mem8(void* val, int vallen, int* plen = nullptr);
    // As mem8 into a vallen-byte array, terminated (so at most vallen - 1 bytes).
    int sstr(char* val, int vallen, int* plen = nullptr);
    // Views of a u8- or u16-length string; valid while the body is. 0, or -1.
    int ptsstr(psstr_t* out);
    int ptsstr(psstr_t* out, int, int) { return ptsstr(out); }
    int ptstr(pstr_t* out);
    int ptstr(pstr_t* out, int, int) { return ptstr(out); }
    // Skips up to len bytes, never past the end.
    void throwAway(int len);
    int pos() const { return m_pos; }
    parsererr_t lastError() const { return m_lastError; }

    parsererr_t m_lastError = PARSERERR_OK;  // why the last read failed

private:
    int fail(parsererr_t why);
    // The length prefix of width bytes at the position, or -1 if absent.
    int peekLength(int width) const;

    const char* m_buf;
    int m_blen;
    int m_pos = 0;
};
