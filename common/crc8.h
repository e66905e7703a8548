// CRC-8 of the serial packet framing: the Dallas/Maxim 1-Wire CRC (polynomial 0x31 reflected,
// initial value 0, no final XOR). Its check value over the nine characters "123456789" is 0xA1.
#pragma once

#include <cstddef>
#include <cstdint>

// The CRC after one more byte.
uint8_t crc8_update(uint8_t crc, uint8_t byte);

// The CRC of length bytes, starting from 0; 0 for no bytes (or null data).
uint8_t crc8_create(const uint8_t* data, size_t length);

// Whether the CRC of the bytes equals crc.
bool crc8_check(const uint8_t* data, size_t length, uint8_t crc);
