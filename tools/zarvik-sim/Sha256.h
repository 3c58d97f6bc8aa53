#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

/** SHA-256 of a byte string, as 64 lower-case hex digits. */
std::string sha256Hex (const uint8_t* data, size_t size);
