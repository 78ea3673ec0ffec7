#pragma once
// Small text and binary-field routines: UTF-8 aware substrings, number and
// time text, line and field scanners, length-prefixed strings and the
// name/value record walker. Free functions; any thread may call them
// (itoa keeps one buffer per thread).

#include <ctime>

// Length of the UTF-8 sequence that `lead` starts: 1 for 0x00-0x7F,
// 2 for 0xC2-0xDF, 3 for 0xE0-0xEF, 4 for 0xF0-0xF7, 5 for 0xF8-0xFB,
// 6 for 0xFC-0xFD, 0 for every other byte (continuations, 0xC0, 0xC1, ...).
int cntByte(unsigned char lead);

// Copies the characters with index start .. start + count - 1 of src into dst
// and terminates it. A byte that is no lead counts as a one-byte character,
// and a sequence cut by the end of src is only what is there, so src is never
// read past its terminator. dst must hold the bytes of the copied characters
// plus 1 (6 * count + 1 is always enough).
// For each copied character *charPos gets its index and *bytePos its byte
// offset in src. The whole of src is walked: after each character *tail gets
// the offset just past it plus its length (unchanged for an empty src).
// Null out-pointers are skipped.
void subStr(const char* src, int start, int count, char* dst, int* bytePos, int* charPos,
            int* tail);

// Decimal text of v. The buffer is per thread and valid until this thread's
// next call.
char* itoa(int v);

// Removes trailing CR and LF.
void trimright(char* s);
// Removes trailing CR, LF, spaces and tabs.
void trimright2(char* s);

// ctime text of t without its final newline. dst must hold 26 bytes.
char* time2str(char* dst, time_t t);

// True when s is not null and strlen(s) lies in [min, max]. The extra
// arguments name the field for the trace point left at failures.
bool valueCheck(const char* s, int min, int max, ...);

// Copies bytes from src until `stop`, a zero byte, CR or LF: returns 0 with
// *len = bytes copied. Returns -1 when max bytes were copied without meeting
// one. dst must hold max + 1 bytes and is terminated either way.
int getValue(const char* src, char* dst, unsigned* len, unsigned max, char stop);

// Copies one line of src (ending at CR LF, LF or the end of the text) without
// its ending into line, at most max bytes (line must hold max + 1), and
// terminates it; *len gets the bytes copied. Returns the offset just past the
// line ending, or 0 when the line ran to the end of the text.
// *flags: 1 for a non-null src, + 2 when the line was cut at max, + 4 at the
// end of the text; 8 alone for a null src. Null len/flags are skipped.
int readline_str(const char* src, char* line, int* len, int max, int* flags);

// A string prefixed by a 16-bit host-order length. When the length is at
// most max it is copied and terminated (dst holds max + 1), *err = 0 and the
// length is returned; otherwise nothing is copied, *err = 2 and 0 returned.
int bin_getstring(char* dst, int max, const char* src, int* err);
// The same with an 8-bit length.
int bin_getsstring(char* dst, int max, const char* src, int* err);

// Walker over records of: u8 name length, name, u16 value length (host
// order), value, u16 trailer (host order). name == nullptr marks the end:
// after the record that ends exactly at len, or when a record would run past
// len (that record is not exposed).
struct vlbp_iterator_t {
    const char* buf = nullptr;
    unsigned short len = 0;
    unsigned short pos = 0;   // offset of the record after the current one
    unsigned char nameLen = 0;
    const char* name = nullptr;
    unsigned short valueLen = 0;
    const char* value = nullptr;
    unsigned short trailer = 0;
};
// Loads the first record; returns it->name != nullptr.
bool vlbp_begin(vlbp_iterator_t* it, const char* buf, unsigned short len);
// Loads the next record; returns it->name != nullptr.
bool vlbp_next(vlbp_iterator_t* it);
