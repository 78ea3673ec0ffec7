#pragma once
// The shared secrets of the payload ciphers, kept in one place. Clients and
// the push receivers must use exactly these values: changing either breaks
// every deployed peer. Constants; any thread.

namespace CryptKeys {

// AES-128 key of encrypted reply bodies (etype 1).
inline constexpr unsigned char key16[16] = {0x60, 0xCB, 0x82, 0xE2, 0x0A, 0x1B, 0x0A, 0x65,
                                            0x07, 0xBB, 0x6B, 0xB5, 0x10, 0x2B, 0x2E, 0xE9};

// Passphrase-to-key table of the push payload cipher: 150 letters and digits
// and the terminating zero, which index 150 selects on purpose.
inline constexpr char szDefaultKeyTable[151] =
    "SSN4TPo0LiN7A3pJ7qeZ7xPsyBJO51GsIcHhEKppyJSDOvBPWZa6qLitjTCL4Z1fXiZWZdZsNWEu0BLFh95SII3GzYVw89UVECLsGtZ19N"
    "IvYSjUwma9Ok325PhaPaslNQu7Q1tnPXkorN2jU018sm";

static_assert(sizeof(szDefaultKeyTable) == 151, "150 characters and the terminator");

}  // namespace CryptKeys
