// Fixed-width integer names shared by every subsystem.
#pragma once
#include <cstdint>

typedef std::uint8_t u8;
typedef std::uint16_t u16;
typedef std::uint32_t u32;
typedef std::uint64_t u64;
typedef std::int64_t int64;
