#pragma once
// URL (percent) and XML entity escapes, plus the small XML scanners used on
// WAS replies. Free functions without shared state: any thread may call them.

// Percent-escapes every byte outside A-Z a-z 0-9 ! $ ' ( ) * , - . _ / ;
// as "%XX" (upper-case hex). dst must hold 3 * strlen(src) + 1 bytes.
// A null src gives an empty dst. Returns dst.
char* encodeurl(char* dst, const char* src);

// Bounded encodeurl: a byte or escape is written only while the output stays
// shorter than size - 3, so an escape is never cut and the terminator always
// fits; encoding stops at the first one that does not. Returns the output
// length. With size - 3 < 1 or a null src nothing is encoded (dst is still
// terminated when size > 0) and 0 is returned.
int encodeurl2(char* dst, int size, const char* src);
// The same over exactly len input bytes; zero bytes become "%00".
int encodeurl2(char* dst, int size, const char* src, int len);

// "%XX" becomes one byte, "+" a space, other bytes are copied. At most
// size - 1 bytes are produced and dst is always terminated (when size > 0).
// A "%" with fewer than two characters after it ends the input; a "%" not
// followed by two hex digits is copied as it is. Returns dst.
char* decodeurl(char* dst, int size, const char* src);

// < > & " ' become &lt; &gt; &amp; &quot; &apos;. dst must hold
// 6 * strlen(src) + 1 bytes. Returns dst.
char* encodexml(char* dst, const char* src);
// The reverse of encodexml; an "&" that starts none of the five entities is
// dropped. dst must hold strlen(src) + 1 bytes. Returns dst.
char* decodexml(char* dst, const char* src);

// Value of attribute `key`: the text between the first quote (' or ") after
// key and the next quote of the same kind; the opening quote must come before
// the next ">". `third` is unused. out must hold max + 1 bytes and is empty
// unless 0 is returned.
// Returns 0 found, 1 key or opening quote missing (or quote after ">"),
// 2 no ">" or no closing quote, 3 shorter than min, 4 longer than max.
int _xml_get_attr_val(const char* xml, const char* key, const char* third, char* out, int min,
                      int max);

// Text between the first ">" after `open` and the following `close`. out must
// hold max + 1 bytes and is empty unless 0 is returned.
// Returns 0 found, 1 open missing, 2 ">" or close missing, 3 too short,
// 4 too long.
int _xml_get_tag_val(const char* xml, const char* open, const char* close, char* out, int min,
                     int max);

// Finds `begin` after `scope` (or from the start when scope is null) and
// `end` after that. Returns the position of begin with *len = the span up to
// and including end; otherwise null with *err = 1 (scope or begin missing)
// or 2 (end missing). Null out-pointers are skipped.
const char* _xml_patch_array(const char* xml, const char* scope, const char* begin,
                             const char* end, int* len, int* err);
